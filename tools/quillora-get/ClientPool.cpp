#include "ClientPool.h"

#include "http/ClientSettings.h"
#include "http/IdURI.h"

#include <optional>

std::string RouteKey(const std::string& url) {
    if (const std::optional<TProxySetting> proxy = ProxyFromEnvironment(url))
        return "proxy " + proxy->User + "@" + UpperCaseText(proxy->Host) + ":" + std::to_string(proxy->Port);
    const TIdURI uri(url);
    return "direct " + UpperCaseText(uri.HostName) + ":" + (uri.PortText.empty() ? "80" : uri.PortText);
}

TPooledClient& TClientPool::For(const std::string& url) {
    const std::string key = RouteKey(url);
    for (auto it = FClients.begin(); it != FClients.end(); ++it)
        if (it->first == key) {
            FClients.splice(FClients.begin(), FClients, it);
            return *FClients.front().second;
        }
    auto pooled = std::make_unique<TPooledClient>();
    ApplyClientSettings(pooled->Client, url);
    pooled->Client.Intercept = &pooled->Watch;
    FClients.emplace_front(key, std::move(pooled));
    while (FClients.size() > FMaxClients)
        FClients.pop_back();
    return *FClients.front().second;
}

void TClientPool::Drop(const std::string& url) {
    const std::string key = RouteKey(url);
    FClients.remove_if([&](const TEntry& entry) { return entry.first == key; });
}
