#pragma once
// Where and how to reach a SOCKS server. The program never sets a version, so
// connects go straight to their host; the negotiations themselves are not
// built, and a connect that asks for one fails instead of bypassing the proxy.

#include "net/IdException.h"

#include <string>

enum TSocksVersion { svNoSocks, svSocks4, svSocks4A, svSocks5 };
enum TSocksAuthentication { saNoAuthentication, saUsernamePassword };

QUILLORA_EXCEPTION(EIdSocksError, EIdException);

class TIdSocksInfo {
  public:
    std::string Host;
    int Port = 1080;
    std::string Username;
    std::string Password;
    TSocksVersion Version = svNoSocks;
    TSocksAuthentication Authentication = saNoAuthentication;
};
