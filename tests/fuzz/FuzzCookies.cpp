// Cookies as a reply sets them and as the next request sends them back. The
// input is the host the reply came from, a line with the URL of the next
// request, then the reply's header block (Set-Cookie, Set-Cookie2, others).

#include "FuzzSupport.h"
#include "http/IdCookieManager.h"
#include "http/IdHeaderList.h"
#include "http/IdURI.h"

namespace {

std::string TakeLine(std::string& text) {
    const size_t end = text.find('\n');
    std::string line = text.substr(0, end);
    text.erase(0, end == std::string::npos ? text.size() : end + 1);
    return line;
}

void SendBack(TIdCookieClient& client, const TIdURI& url) {
    for (bool secure : {false, true}) {
        TIdHeaderList request;
        client.AddCookieHeader(url, secure, request);
        request.Text();
    }
}

void WriteBackEvery(TIdCookieManager& manager) {
    TIdCookies& cookies = manager.CookieCollection();
    for (int i = 0; i < cookies.Count(); ++i) {
        cookies.Cookie(i)->ServerCookie();
        double expiry = 0;
        cookies.Cookie(i)->ExpiryDate(expiry);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text = fuzz::Text(data, size);
    const std::string host = TakeLine(text);
    const TIdURI next(TakeLine(text));
    TIdHeaderList reply;
    reply.SetText(text);

    TIdCookieClient client;
    fuzz::Refused([&] { client.StoreResponseCookies(true, reply, host); });
    // A second reply setting the same cookies again replaces them in place.
    fuzz::Refused([&] { client.StoreResponseCookies(true, reply, host); });
    SendBack(client, next);
    SendBack(client, TIdURI("http://" + host + "/"));
    if (client.Manager()) {
        WriteBackEvery(*client.Manager());
        client.Manager()->PurgeExpired();
    }
    return 0;
}
