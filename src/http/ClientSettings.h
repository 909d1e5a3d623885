#pragma once
// The settings every fetch of the program runs with: a read time-out, so that
// a stalled server cannot hang the window for ever, and the proxy rule that
// the environment names (http_proxy / https_proxy / no_proxy, as curl reads
// them). The rule is asked for every request, each redirect hop included:
// the window, quillora-fetch and quillora-get all choose through ProxyFor.

#include "core/Exceptions.h"
#include "net/IdSSLContext.h"

#include <optional>
#include <string>

class TIdHTTP;
class TIdURI;

QUILLORA_EXCEPTION(EProxySettingError, Exception);

struct TProxySetting {
    std::string Host;
    int Port = 1080;
    std::string User;
    std::string Password;
};

// Reads "[http://][user[:password]@]host[:port][/]"; user and password may be
// %-encoded. EProxySettingError for anything else (another scheme, no host, a bad port).
TProxySetting ParseProxySetting(const std::string& text);
// True when host matches an entry of the comma-separated noProxyList: "*", the
// host itself, or a domain the host lies in (a leading "." is optional). An
// IP address (dotted IPv4, IPv6 with or without brackets) matches only the
// same address, never as a suffix: "0.0.1" does not bypass 127.0.0.1.
bool ProxyBypassed(const std::string& host, const std::string& noProxyList);

// The proxy a fetch of url goes through, given the setting for its scheme and
// no_proxy; none when the setting is empty or the host is bypassed.
std::optional<TProxySetting> ProxyForUrl(const std::string& url, const std::string& proxy,
                                         const std::string& noProxy);

// What decides the proxy of a request.
struct TProxyRule {
    std::string HttpProxy;  // for http addresses (http_proxy, else HTTP_PROXY)
    std::string HttpsProxy; // for https addresses (https_proxy, else HTTPS_PROXY)
    std::string NoProxy;    // hosts reached directly (no_proxy, else NO_PROXY)
    // Credentials for whichever proxy is chosen (quillora-fetch -U), instead
    // of the ones its setting carries.
    bool OwnCredentials = false;
    std::string User;
    std::string Password;
};
// The one rule: an http request goes through HttpProxy, an https request
// through HttpsProxy (never HttpProxy), none when its host is bypassed by
// NoProxy or the setting is empty; any other scheme through none.
// EProxySettingError for a setting that cannot be read.
std::optional<TProxySetting> ProxyFor(const TProxyRule& rule, const std::string& scheme,
                                      const std::string& host);
// The rule the environment names.
TProxyRule ProxyRuleFromEnvironment();
// The rule of the program's fetches: the one a front end set (quillora-get
// --proxy), else the environment's.
void SetClientProxyRule(std::optional<TProxyRule> rule);
TProxyRule ClientProxyRule();
// ProxyFor with the program's rule, for url.
std::optional<TProxySetting> ProxyFromEnvironment(const std::string& url);
// Makes client ask rule for the proxy of every request it sends (each
// redirect hop included), and sets the proxy of url at once (so that a bad
// setting fails here, before any connection).
void UseProxyRule(TIdHTTP& client, const TProxyRule& rule, const std::string& url);

// The read time-out of the program's fetches: 60000 ms, or what
// SetClientReadTimeout or the environment variable QUILLORA_READ_TIMEOUT_MS says.
constexpr int DefaultClientReadTimeout = 60000;
int ClientReadTimeout();
// ms <= 0 goes back to the environment or the default.
void SetClientReadTimeout(int ms);

// The TLS transport the program's fetches get, so that https can be reached;
// none until a front end sets one (a client without one refuses https).
void SetClientTls(TIdSSLContextPtr context);
TIdSSLContextPtr ClientTls();

// Redirects the program's fetches follow: none unless a front end says so.
// A redirect to a host outside Domain (the domain itself or a name under it),
// from https to anything else, to another port (http to https only from 80
// to 443), or one more than Maximum, fails the fetch with EIdRedirectRefused.
struct TRedirectPolicy {
    int Maximum = 0;
    std::string Domain;
};
QUILLORA_EXCEPTION(EIdRedirectRefused, EIdException);
void SetClientRedirects(const TRedirectPolicy& policy);
// Raises EIdRedirectRefused when the redirect from the address from to
// location (the count-th) is not to be followed.
void CheckRedirect(const TRedirectPolicy& policy, const TIdURI& from, const std::string& location, int count);

// Applies the read time-out, the TLS transport, the redirect policy and the
// program's proxy rule (UseProxyRule, set for url) to client.
void ApplyClientSettings(TIdHTTP& client, const std::string& url);

class TIdCancelSignal;
// The signal that ends the program's bounded fetches (pages, lists) at once
// when it fires; none by default. A command-line tool sets one that its stop
// signal handler fires.
void SetFetchCancelSignal(const TIdCancelSignal* cancel);
const TIdCancelSignal* FetchCancelSignal();
