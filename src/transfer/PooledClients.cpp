#include "transfer/PooledClients.h"

#include "core/TextUtils.h"
#include "http/ClientSettings.h"
#include "http/IdHTTP.h"
#include "http/IdURI.h"

#include <optional>

std::string RouteKey(const std::string& url) {
    if (const std::optional<TProxySetting> proxy = ProxyFromEnvironment(url))
        return "proxy " + proxy->Host + ":" + std::to_string(proxy->Port);
    const TIdURI uri(url);
    const std::string defaultPort = SameText(uri.Scheme, "https") ? "443" : "80";
    return "origin " + uri.HostName + ":" + (uri.PortText.empty() ? defaultPort : uri.PortText);
}

namespace {

// What one request may leave behind on the client for the next: cookies it
// was sent, credentials, a range. A fresh client has none of them.
void ResetRequestState(TIdHTTP& client) {
    client.SetCookieManager(nullptr);
    TIdHTTPRequest& request = client.Request();
    request.Authenticator.reset();
    request.Username.clear();
    request.Password.clear();
    request.BasicAuthentication = false;
    request.CustomHeaders.Clear();
    request.ContentRangeStart = 0;
    request.ContentRangeEnd = 0;
    client.OnReplyHeaders = nullptr;
}

} // namespace

TPooledClients::TPooledClients(const TIdCancelSignal* cancel, size_t maxRoutes)
    : FCancel(cancel), FMaxRoutes(maxRoutes == 0 ? 1 : maxRoutes) {}

TPooledClients::~TPooledClients() = default;

TIdHTTP& TPooledClients::ClientFor(const std::string& url) {
    const std::string key = RouteKey(url);
    auto it = FClients.begin();
    while (it != FClients.end() && it->first != key)
        ++it;
    if (it == FClients.end()) {
        if (FClients.size() >= FMaxRoutes) FClients.pop_back();
        FClients.emplace_front(key, std::make_unique<TIdHTTP>());
    } else {
        FClients.splice(FClients.begin(), FClients, it);
    }
    TIdHTTP& client = *FClients.front().second;
    client.CancelSignal = FCancel;
    client.Intercept = &FWatch;
    ApplyClientSettings(client, url);
    ResetRequestState(client);
    return client;
}

bool TPooledClients::NextSentAhead(const std::string& url) {
    std::string key;
    try {
        key = RouteKey(url);
    } catch (const Exception&) {
        return false; // no route: nothing went out on one
    }
    for (TEntry& entry : FClients)
        if (entry.first == key) return entry.second->NextSentAhead(url);
    return false;
}

void TPooledClients::Drop(const std::string& url) {
    const std::string key = RouteKey(url);
    FClients.remove_if([&key](const TEntry& entry) { return entry.first == key; });
}
