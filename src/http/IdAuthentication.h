#pragma once
// Authentication schemes of the HTTP client: the scheme base class, the Basic
// scheme, the process-wide scheme registry, the proxy settings with their own
// authenticator, and the two credentials routines that the client runs when a
// reply asks for credentials (401 from the server, 407 from a proxy).

#include "http/IdHeaderList.h"
#include "net/IdException.h"

#include <functional>
#include <memory>
#include <string>

class TIdComponent;
class TIdAuthentication;

QUILLORA_EXCEPTION(EIdAlreadyRegisteredAuthenticationMethod, EIdException);

// What a scheme wants after reading a challenge.
enum TIdAuthWhatsNext { AskProgram, SendAgain, GiveUp };

// A scheme class as the registry and the selection callbacks hand it around:
// its name and a way to make an object of it.
struct TIdAuthenticationClassInfo {
    const char* ClassName;
    std::unique_ptr<TIdAuthentication> (*Create)();
};
using TIdAuthenticationClass = const TIdAuthenticationClassInfo*;

class TIdAuthentication {
  public:
    TIdAuthentication();
    virtual ~TIdAuthentication();
    TIdAuthentication(const TIdAuthentication&) = delete;
    TIdAuthentication& operator=(const TIdAuthentication&) = delete;

    // Reads ChallengeLines and says whether the credentials can be sent.
    virtual TIdAuthWhatsNext Advance() = 0;
    virtual int Steps() const { return 0; }
    virtual void SetPassword(const std::string& password);
    virtual void SetUserName(const std::string& userName);
    virtual void Reset();
    // The value of the Authorization (or Proxy-Authorization) header.
    virtual std::string CredentialsText() = 0;
    virtual bool KeepAlive() const { return false; }
    virtual TIdAuthenticationClass ClassType() const = 0;
    const char* ClassName() const { return ClassType()->ClassName; }

    // Exactly as they were set: no trimming, no folding.
    std::string UserName() const;
    std::string Password() const;

    TIdHeaderList& Credentials() { return FCredentials; }
    const TIdHeaderList& Credentials() const { return FCredentials; }
    // The server's challenges; made on first use.
    TIdHeaderList& ChallengeLines();
    int CurrentStep = 0;

  protected:
    std::string RawCredential(std::string_view name) const;
    void SetCredential(std::string_view name, const std::string& value);

  private:
    TIdHeaderList FCredentials;
    std::unique_ptr<TIdHeaderList> FChallengeLines;
};

class TIdBasicAuthentication : public TIdAuthentication {
  public:
    static TIdAuthenticationClass Class();

    TIdAuthWhatsNext Advance() override;
    int Steps() const override { return 1; }
    std::string CredentialsText() override;
    TIdAuthenticationClass ClassType() const override { return Class(); }

    std::string RealmText;
};

// Standard base64 with "=" padding and no line breaks.
std::string EncodeBase64(std::string_view bytes);

// The registry knows "Basic" from the start. Names are compared without regard to case.
void RegisterAuthScheme(const std::string& name, TIdAuthenticationClass authClass);
// nullptr when no scheme of that name is registered.
TIdAuthenticationClass FindAuthScheme(const std::string& name);

// Proxy endpoint and credentials of a client. Moving to another proxy drops
// the authenticator that belonged to the old one.
class TIdProxyConnectionInfo {
  public:
    TIdProxyConnectionInfo();
    ~TIdProxyConnectionInfo();

    const std::string& ProxyServer() const { return FProxyServer; }
    void SetProxyServer(const std::string& server);
    int ProxyPort() const { return FProxyPort; }
    void SetProxyPort(int port);
    std::string ProxyUsername;
    std::string ProxyPassword;
    bool BasicAuthentication = false;

    TIdAuthentication* Authentication() const { return FAuthentication.get(); }
    std::unique_ptr<TIdAuthentication>& AuthenticationSlot() { return FAuthentication; }

    // Writes "Proxy-Authorization" into headers when there is anything to send.
    void SetHeaders(TIdHeaderList& headers);

  private:
    std::string FProxyServer;
    int FProxyPort = 0;
    std::unique_ptr<TIdAuthentication> FAuthentication;
};

// May replace the scheme class chosen from the challenges in authInfo.
using TIdOnSelectAuthorization = std::function<void(
    TIdComponent* sender, TIdAuthenticationClass& authenticationClass, TIdHeaderList& authInfo)>;
// Asked for credentials; sets handled when it filled in user name and password.
using TIdOnAuthorization =
    std::function<void(TIdComponent* sender, TIdAuthentication* authentication, bool& handled)>;

// The parts of a client that the server credentials routine reads and changes.
struct TIdServerAuthorization {
    TIdComponent* Sender;
    int& AuthTries;
    const TIdHeaderList& Challenges;                   // Response WWWAuthenticate
    std::unique_ptr<TIdAuthentication>& Authenticator; // Request Authenticator
    std::string& Username;                             // Request Username
    std::string& Password;                             // Request Password
    bool& BasicAuthentication;                         // Request BasicAuthentication
    const TIdOnSelectAuthorization& OnSelectAuthorization;
    const TIdOnAuthorization& OnAuthorization;
};

// The parts of a client that the proxy credentials routine reads and changes.
struct TIdProxyAuthorization {
    TIdComponent* Sender;
    int& ProxyAuthTries;
    int ReplyCode;
    const TIdHeaderList& Challenges; // Response ProxyAuthenticate
    TIdProxyConnectionInfo& ProxyParams;
    const TIdOnSelectAuthorization& OnSelectProxyAuthorization;
    const TIdOnAuthorization& OnProxyAuthorization;
};

// True when the request should be sent again with credentials. Counts the try;
// the caller compares the tries with AuthRetries before calling.
bool AnswerServerChallenge(const TIdServerAuthorization& client);
bool AnswerProxyChallenge(const TIdProxyAuthorization& client);
