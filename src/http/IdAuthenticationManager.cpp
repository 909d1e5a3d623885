#include "http/IdAuthenticationManager.h"

void TIdAuthenticationManager::AddAuthentication(const TIdAuthentication& authentication,
                                                 const std::string& url) {
    auto item = std::make_unique<TIdAuthenticationItem>();
    item->URL.SetUrl(url);
    item->Params = authentication.Credentials();
    FItems.push_back(std::move(item));
}

void HandOverAuthenticator(std::unique_ptr<TIdAuthentication>& authenticator,
                           TIdAuthenticationManager* manager, const std::string& plainUrl,
                           TIdProxyConnectionInfo& proxyParams) {
    if (authenticator && authenticator->CurrentStep >= authenticator->Steps()) {
        if (manager != nullptr) manager->AddAuthentication(*authenticator, plainUrl);
        authenticator.reset();
    }
    if (TIdAuthentication* proxyAuth = proxyParams.Authentication()) proxyAuth->Reset();
}
