#include "http/IdCookieManager.h"

#include "http/IdHeaderList.h"
#include "http/IdURI.h"

// ---------------------------------------------------------------- TIdCookieManager

TIdCookieManager::~TIdCookieManager() {
    try {
        PurgeExpired();
    } catch (const Exception&) {
        // Without the time zone nothing can be judged expired; the cookies go anyway.
    }
    if (OnDestroy) OnDestroy(this, &FCookieCollection);
}

void TIdCookieManager::AddServerCookie(const std::string& value, const std::string& requestHost) {
    AcceptCookie(std::make_unique<TIdCookieRFC2109>(), value, requestHost);
}

void TIdCookieManager::AddServerCookie2(const std::string& value, const std::string& requestHost) {
    AcceptCookie(std::make_unique<TIdCookieRFC2965>(), value, requestHost);
}

void TIdCookieManager::AcceptCookie(std::unique_ptr<TIdNetscapeCookie> cookie, const std::string& value,
                                    const std::string& requestHost) {
    // Name and value go back out in the next request's Cookie header, where a
    // CR or LF would start a header line of the server's choosing.
    if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return;
    cookie->ParseCookie(value);
    if (cookie->Domain.empty()) cookie->Domain = requestHost;
    if (!cookie->DomainMatches(requestHost)) return;
    if (OnNewCookie) {
        bool accept = true;
        OnNewCookie(this, cookie.get(), accept);
        if (!accept) return;
    }
    FCookieCollection.AddCookie(std::move(cookie));
}

std::string TIdCookieManager::CookieHeaderFor(const TIdURI& url, bool secure) {
    return FCookieCollection.CookieHeaderFor(url.HostName, url.DirPath, secure);
}

void TIdCookieManager::DoOnCreate() {
    if (OnCreate) OnCreate(this, &FCookieCollection);
}

// ---------------------------------------------------------------- TIdCookieClient

TIdCookieClient::~TIdCookieClient() {
    Release();
}

void TIdCookieClient::Release() {
    if (FManager != nullptr && !FOwned) FManager->RemoveFreeNotification(this);
    FManager = nullptr;
    FOwned.reset();
}

void TIdCookieClient::SetManager(TIdCookieManager* manager) {
    if (manager == FManager) return;
    Release();
    FManager = manager;
    if (FManager != nullptr) FManager->FreeNotification(this);
}

void TIdCookieClient::Notification(TIdBaseComponent* component) {
    if (component == FManager && !FOwned) FManager = nullptr;
}

void TIdCookieClient::StoreResponseCookies(bool allowCookies, const TIdHeaderList& responseHeaders,
                                           const std::string& requestHost) {
    if (FManager == nullptr && allowCookies) {
        FOwned = std::make_unique<TIdCookieManager>();
        FManager = FOwned.get();
        FManager->DoOnCreate();
    }
    if (FManager == nullptr) return;
    TIdHeaderList values;
    responseHeaders.ExtractAll("Set-cookie", &values);
    for (int k = 0; k < values.Count(); ++k)
        FManager->AddServerCookie(values[k], requestHost);
    values.Clear();
    responseHeaders.ExtractAll("Set-cookie2", &values);
    for (int k = 0; k < values.Count(); ++k)
        FManager->AddServerCookie2(values[k], requestHost);
}

void TIdCookieClient::AddCookieHeader(const TIdURI& url, bool secure, TIdHeaderList& requestHeaders) const {
    if (FManager == nullptr) return;
    const std::string text = FManager->CookieHeaderFor(url, secure);
    if (!text.empty()) requestHeaders.SetHeader("Cookie", text);
}
