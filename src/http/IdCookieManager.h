#pragma once
// The cookie jar of a client: takes the cookies of each reply, gives back the
// Cookie header of each request. A client makes its own manager on its first
// reply unless it was given one, and frees it with itself.

#include "http/IdCookie.h"
#include "net/IdComponent.h"

#include <functional>
#include <memory>
#include <string>

class TIdCookieManager;
class TIdHeaderList;
class TIdURI;

using TOnManagerEvent = std::function<void(TIdCookieManager* ASender, TIdCookies* ACookieCollection)>;
using TOnNewCookieEvent =
    std::function<void(TIdCookieManager* ASender, TIdNetscapeCookie* ACookie, bool& VAccept)>;

class TIdCookieManager : public TIdBaseComponent {
  public:
    TIdCookieManager() = default;
    // Purges the expired cookies and calls OnDestroy before the cookies go.
    ~TIdCookieManager() override;

    // Set-Cookie / Set-Cookie2 value of a reply from requestHost.
    void AddServerCookie(const std::string& value, const std::string& requestHost);
    void AddServerCookie2(const std::string& value, const std::string& requestHost);
    // Parses the cookie, checks its domain and asks OnNewCookie; then stores it
    // or drops it. A value holding a CR, LF or NUL is dropped unread.
    void AcceptCookie(std::unique_ptr<TIdNetscapeCookie> cookie, const std::string& value,
                      const std::string& requestHost);
    std::string CookieHeaderFor(const TIdURI& url, bool secure);
    void PurgeExpired() { FCookieCollection.PurgeExpired(); }
    // Calls OnCreate; the client calls it for a manager it made itself.
    void DoOnCreate();

    TIdCookies& CookieCollection() { return FCookieCollection; }

    TOnManagerEvent OnCreate;
    TOnManagerEvent OnDestroy;
    TOnNewCookieEvent OnNewCookie;

  private:
    TIdCookies FCookieCollection;
};

// A client's hold on its cookie manager: one it was given, or one it made
// itself and frees with itself. A given manager that is destroyed first is
// forgotten.
class TIdCookieClient : public TIdBaseComponent {
  public:
    ~TIdCookieClient() override;

    TIdCookieManager* Manager() const { return FManager; }
    bool OwnsManager() const { return FOwned != nullptr; }
    // Frees a manager made here; nullptr leaves the client without one.
    void SetManager(TIdCookieManager* manager);

    // After each header block: makes the client's own manager when allowed and
    // there is none, then stores every Set-Cookie and Set-Cookie2 value.
    void StoreResponseCookies(bool allowCookies, const TIdHeaderList& responseHeaders,
                              const std::string& requestHost);
    // Sets the "Cookie" header for url when the manager has cookies for it.
    void AddCookieHeader(const TIdURI& url, bool secure, TIdHeaderList& requestHeaders) const;

  protected:
    void Notification(TIdBaseComponent* component) override;

  private:
    void Release();
    TIdCookieManager* FManager = nullptr;
    std::unique_ptr<TIdCookieManager> FOwned;
};
