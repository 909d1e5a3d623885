#pragma once
// Keeps the credentials that worked, per URL, after the connection they were
// used on has closed.

#include "http/IdAuthentication.h"
#include "http/IdHeaderList.h"
#include "http/IdURI.h"

#include <memory>
#include <string>
#include <vector>

struct TIdAuthenticationItem {
    TIdURI URL;
    TIdHeaderList Params; // a copy of the scheme's Credentials
};

class TIdAuthenticationManager {
  public:
    // Records a copy of the scheme's Credentials for url.
    void AddAuthentication(const TIdAuthentication& authentication, const std::string& url);
    int Count() const { return static_cast<int>(FItems.size()); }
    const TIdAuthenticationItem& Item(int index) const { return *FItems.at(static_cast<size_t>(index)); }

  private:
    std::vector<std::unique_ptr<TIdAuthenticationItem>> FItems;
};

// The client's disconnect hook: an authenticator that has run all its steps
// is handed to manager (when there is one, under plainUrl) and freed; the
// proxy's authenticator starts over.
void HandOverAuthenticator(std::unique_ptr<TIdAuthentication>& authenticator,
                           TIdAuthenticationManager* manager, const std::string& plainUrl,
                           TIdProxyConnectionInfo& proxyParams);
