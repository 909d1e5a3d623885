// The HTTP client reading what a server answers: status lines, header
// blocks, every body framing (length, chunked, until close, none for HEAD
// and 204), 100 Continue, redirects, credentials challenges, keep-alive and
// reconnects. The server is played from memory (no sockets).
//
// Input: five option bytes, then the server's bytes: "<close>" ends one
// connection's and starts the next one's; inside a connection "<next>"
// ends what the server answers to one request.
//   0  request method of the first fetch
//   1  flags: follow redirects, HTTP/1.0, in-process auth retry, through a
//      proxy, proxy credentials, credentials in the URL, no cookies, split
//      long lines instead of failing
//   2  redirect limit (low 3 bits), credentials retries (next 2 bits), and
//      the first byte asked for by a Range request (top 3 bits, times 5)
//   3  largest piece one receive hands over (0: all there is)
//   4  which URL the first fetch asks for

#include "FuzzSupport.h"
#include "MemoryIOHandler.h"
#include "http/IdHTTP.h"

#include <iterator>

namespace {

const char* const Urls[] = {
    "http://fuzz.test/dir/page.html",
    "http://fuzz.test:8080/a/../b/pic.jpg?x=1#top",
    "http://fuzz.test/",
    "/relative/path.js",
    "https://secure.test/",
};

std::vector<std::string> Split(const std::string& text, const std::string& mark) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t at; (at = text.find(mark, from)) != std::string::npos; from = at + mark.size())
        parts.push_back(text.substr(from, at - from));
    parts.push_back(text.substr(from));
    return parts;
}

std::vector<TMemoryIOHandler::TScript> Scripts(const std::string& text) {
    std::vector<TMemoryIOHandler::TScript> scripts;
    for (const std::string& connection : Split(text, "<close>"))
        scripts.push_back(Split(connection, "<next>"));
    return scripts;
}

void Configure(TIdHTTP& client, uint8_t flags, uint8_t limits) {
    client.HandleRedirects = flags & 1;
    client.ProtocolVersion = (flags & 2) ? pv1_0 : pv1_1;
    if (flags & 4) client.HTTPOptions |= hoInProcessAuth;
    if (flags & 8) {
        client.ProxyParams.SetProxyServer("proxy.test");
        client.ProxyParams.SetProxyPort(3128);
    }
    if (flags & 16) {
        client.ProxyParams.ProxyUsername = "proxyuser";
        client.ProxyParams.ProxyPassword = "proxypass";
        client.ProxyParams.BasicAuthentication = true;
    }
    client.AllowCookies = !(flags & 64);
    if (flags & 128) client.MaxLineAction = maSplit;
    client.RedirectMaximum = limits & 7;
    client.AuthRetries = (limits >> 3) & 3;
    client.Request().ContentRangeStart = (limits >> 5) * 5;
}

void Fetch(TIdHTTP& client, TIdHTTPMethod method, const std::string& url) {
    TStringStream upload("name=value&x=1");
    TMemoryStream body;
    fuzz::Refused([&] { client.RunRequest(method, url, &upload, &body); });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::TInputPrefix prefix(data, size);
    const auto method = static_cast<TIdHTTPMethod>(prefix.Byte() % 8);
    const uint8_t flags = prefix.Byte(), limits = prefix.Byte();
    const int segment = prefix.Byte();
    std::string url = Urls[prefix.Byte() % std::size(Urls)];
    if ((flags & 32) && url.find("://") != std::string::npos) url.insert(url.find("://") + 3, "user:secret@");

    // Declared first so that it outlives the client, which closes it on destruction.
    TMemoryIOHandler server;
    server.Connections = Scripts(fuzz::Text(data, size));
    server.SegmentSize = segment;
    TIdHTTP client;
    client.SetIOHandler(&server);
    Configure(client, flags, limits);
    Fetch(client, method, url);
    // A second fetch on the same client: a kept connection, or a new one.
    fuzz::Refused([&] { client.FetchText("http://fuzz.test/second.html"); });
    return 0;
}
