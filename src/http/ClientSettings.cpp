#include "http/ClientSettings.h"

#include "core/TextUtils.h"
#include "http/IdHTTP.h"
#include "http/IdURI.h"
#include "net/IdSSLIOHandlerSocket.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <netinet/in.h>

namespace {

std::string EnvText(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

// http_proxy wins over HTTP_PROXY when both are set, as with curl and wget.
std::string EnvEither(const char* lower, const char* upper) {
    std::string value = EnvText(lower);
    return value.empty() ? EnvText(upper) : value;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "%40" stands for "@": the only way to put one into a password here.
std::string PercentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
            HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The setting as it may be shown: a password never reaches a message box.
std::string Redacted(const std::string& text) {
    const size_t at = text.rfind('@');
    if (at == std::string::npos) return text;
    const size_t start = text.find("://") == std::string::npos ? 0 : text.find("://") + 3;
    const size_t colon = text.find(':', start);
    if (colon == std::string::npos || colon > at) return text;
    return text.substr(0, colon + 1) + "***" + text.substr(at);
}

[[noreturn]] void BadSetting(const std::string& text, const char* reason) {
    throw EProxySettingError(Format("Invalid proxy setting \"%s\": %s", Redacted(text).c_str(), reason));
}

int ProxyPort(const std::string& text, const std::string& portText) {
    if (portText.empty()) return 1080;
    const std::optional<int> port = ReadPort(portText);
    if (!port) BadSetting(text, "the port is not a number from 1 to 65535");
    return *port;
}

void ReadHostAndPort(const std::string& text, const std::string& hostPort, TProxySetting& setting) {
    std::string portText;
    if (!hostPort.empty() && hostPort[0] == '[') {
        const size_t close = hostPort.find(']');
        if (close == std::string::npos) BadSetting(text, "the host has no closing \"]\"");
        setting.Host = hostPort.substr(1, close - 1);
        const std::string rest = hostPort.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') BadSetting(text, "unexpected text after the host");
        portText = rest.empty() ? std::string() : rest.substr(1);
    } else {
        const size_t colon = hostPort.find(':');
        setting.Host = hostPort.substr(0, colon);
        portText = colon == std::string::npos ? std::string() : hostPort.substr(colon + 1);
    }
    if (setting.Host.empty()) BadSetting(text, "no host");
    setting.Port = ProxyPort(text, portText);
}

} // namespace

TProxySetting ParseProxySetting(const std::string& text) {
    std::string rest = TextTrim(text);
    if (rest.empty()) BadSetting(text, "no host");
    const size_t schemeEnd = rest.find("://");
    if (schemeEnd != std::string::npos) {
        if (!SameText(rest.substr(0, schemeEnd), "http"))
            BadSetting(text, "only http:// proxies can be used");
        rest.erase(0, schemeEnd + 3);
    }
    const std::string authority = rest.substr(0, rest.find_first_of("/?#"));
    TProxySetting setting;
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        const std::string userInfo = authority.substr(0, at);
        const size_t colon = userInfo.find(':');
        setting.User = PercentDecode(userInfo.substr(0, colon));
        if (colon != std::string::npos) setting.Password = PercentDecode(userInfo.substr(colon + 1));
    }
    ReadHostAndPort(text, at == std::string::npos ? authority : authority.substr(at + 1), setting);
    return setting;
}

namespace {

// The address text as one form: an IPv4 or IPv6 literal (brackets allowed)
// as its 4 or 16 bytes; empty for a name.
std::string IpAddressBytes(std::string text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    in6_addr v6{};
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1)
        return std::string(reinterpret_cast<const char*>(&v6), 16);
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) return std::string(reinterpret_cast<const char*>(&v4), 4);
    return {};
}

} // namespace

bool ProxyBypassed(const std::string& host, const std::string& noProxyList) {
    std::string name = UpperCaseText(host);
    while (!name.empty() && name.back() == '.')
        name.pop_back();
    if (name.empty()) return false;
    const std::string address = IpAddressBytes(name);
    std::string list = noProxyList;
    while (!list.empty()) {
        std::string entry = UpperCaseText(TextTrim(SplitAt(list, ",")));
        if (entry == "*") return true;
        if (!address.empty()) {
            // An address is matched as an address: the same one, however written.
            if (IpAddressBytes(entry) == address) return true;
            continue;
        }
        while (!entry.empty() && entry.front() == '.')
            entry.erase(0, 1);
        while (!entry.empty() && entry.back() == '.')
            entry.pop_back();
        if (entry.empty()) continue;
        if (name == entry) return true;
        if (name.size() > entry.size() &&
            name.compare(name.size() - entry.size(), entry.size(), entry) == 0 &&
            name[name.size() - entry.size() - 1] == '.')
            return true;
    }
    return false;
}

std::optional<TProxySetting> ProxyForUrl(const std::string& url, const std::string& proxy,
                                         const std::string& noProxy) {
    if (TextTrim(proxy).empty()) return std::nullopt;
    if (ProxyBypassed(TIdURI(url).HostName, noProxy)) return std::nullopt;
    return ParseProxySetting(proxy);
}

std::optional<TProxySetting> ProxyFor(const TProxyRule& rule, const std::string& scheme,
                                      const std::string& host) {
    const std::string* setting = nullptr;
    if (SameText(scheme, "http"))
        setting = &rule.HttpProxy;
    else if (SameText(scheme, "https"))
        setting = &rule.HttpsProxy;
    if (setting == nullptr || TextTrim(*setting).empty()) return std::nullopt;
    if (ProxyBypassed(host, rule.NoProxy)) return std::nullopt;
    TProxySetting proxy = ParseProxySetting(*setting);
    if (rule.OwnCredentials) {
        proxy.User = rule.User;
        proxy.Password = rule.Password;
    }
    return proxy;
}

TProxyRule ProxyRuleFromEnvironment() {
    TProxyRule rule;
    rule.HttpProxy = EnvEither("http_proxy", "HTTP_PROXY");
    rule.HttpsProxy = EnvEither("https_proxy", "HTTPS_PROXY");
    rule.NoProxy = EnvEither("no_proxy", "NO_PROXY");
    return rule;
}

namespace {
std::mutex RuleLock;
std::optional<TProxyRule> RuleOverride;
} // namespace

void SetClientProxyRule(std::optional<TProxyRule> rule) {
    const std::lock_guard<std::mutex> lock(RuleLock);
    RuleOverride = std::move(rule);
}

TProxyRule ClientProxyRule() {
    {
        const std::lock_guard<std::mutex> lock(RuleLock);
        if (RuleOverride) return *RuleOverride;
    }
    return ProxyRuleFromEnvironment();
}

std::optional<TProxySetting> ProxyFromEnvironment(const std::string& url) {
    const TIdURI uri(url);
    return ProxyFor(ClientProxyRule(), uri.Scheme, uri.HostName);
}

namespace {

void SetProxy(TIdProxyConnectionInfo& params, const std::optional<TProxySetting>& proxy) {
    if (!proxy) {
        params.SetProxyServer("");
        params.SetProxyPort(0);
        params.ProxyUsername.clear();
        params.ProxyPassword.clear();
        params.BasicAuthentication = false;
        return;
    }
    params.SetProxyServer(proxy->Host);
    params.SetProxyPort(proxy->Port);
    params.ProxyUsername = proxy->User;
    params.ProxyPassword = proxy->Password;
    params.BasicAuthentication = !proxy->User.empty();
}

} // namespace

void UseProxyRule(TIdHTTP& client, const TProxyRule& rule, const std::string& url) {
    client.OnChooseProxy = [rule](const TIdURI& target, TIdProxyConnectionInfo& params) {
        SetProxy(params, ProxyFor(rule, target.Scheme, target.HostName));
    };
    const TIdURI uri(url);
    SetProxy(client.ProxyParams, ProxyFor(rule, uri.Scheme, uri.HostName));
}

namespace {

std::atomic<int> ReadTimeoutOverride{0};

} // namespace

int ClientReadTimeout() {
    if (const int ms = ReadTimeoutOverride.load(); ms > 0) return ms;
    const std::optional<uint32_t> ms = ReadDigits(TextTrim(EnvText("QUILLORA_READ_TIMEOUT_MS")), 9);
    return ms && *ms > 0 ? static_cast<int>(*ms) : DefaultClientReadTimeout;
}

void SetClientReadTimeout(int ms) {
    ReadTimeoutOverride.store(ms > 0 ? ms : 0);
}

namespace {
std::atomic<const TIdCancelSignal*> BoundedFetchCancel{nullptr};
}

void SetFetchCancelSignal(const TIdCancelSignal* cancel) {
    BoundedFetchCancel.store(cancel);
}

const TIdCancelSignal* FetchCancelSignal() {
    return BoundedFetchCancel.load();
}

namespace {
std::mutex SettingsLock;
TIdSSLContextPtr TlsContext;
} // namespace

void SetClientTls(TIdSSLContextPtr context) {
    const std::lock_guard<std::mutex> lock(SettingsLock);
    TlsContext = std::move(context);
}

TIdSSLContextPtr ClientTls() {
    const std::lock_guard<std::mutex> lock(SettingsLock);
    return TlsContext;
}

namespace {
TRedirectPolicy Redirects;

bool InDomain(const std::string& host, const std::string& domain) {
    std::string name = UpperCaseText(host);
    while (!name.empty() && name.back() == '.')
        name.pop_back();
    const std::string wanted = UpperCaseText(domain);
    if (name == wanted) return true;
    return name.size() > wanted.size() && name.compare(name.size() - wanted.size(), wanted.size(), wanted) == 0 &&
           name[name.size() - wanted.size() - 1] == '.';
}
} // namespace

void SetClientRedirects(const TRedirectPolicy& policy) {
    const std::lock_guard<std::mutex> lock(SettingsLock);
    Redirects = policy;
}

namespace {

// Where a redirect leads once the client has filled in what location leaves
// out, as the client does it: a missing scheme or host is the previous one's,
// a missing port the scheme's own unless the host stays and its port is no default.
struct TRedirectTarget {
    std::string Scheme, Host;
    int Port = 0; // 0: no port at all (unreadable)
};

int DefaultPortOf(const std::string& scheme) {
    return SameText(scheme, "https") ? 443 : SameText(scheme, "http") ? 80 : 0;
}

int PortOf(const TIdURI& url) {
    if (url.PortText.empty()) return DefaultPortOf(url.Scheme);
    return ReadPort(url.PortText).value_or(0);
}

TRedirectTarget TargetOf(const TIdURI& from, const TIdURI& location) {
    TRedirectTarget target{location.Scheme.empty() ? from.Scheme : location.Scheme,
                           location.HostName.empty() ? from.HostName : location.HostName, 0};
    if (!location.PortText.empty()) {
        target.Port = ReadPort(location.PortText).value_or(0);
        return target;
    }
    const int previous = PortOf(from);
    const bool ownPort = location.HostName.empty() && previous != 80 && previous != 443;
    target.Port = ownPort ? previous : DefaultPortOf(target.Scheme);
    return target;
}

// Why a hop from from to location would weaken the connection; nullptr when it does not.
// An https address answered from plain HTTP, or from another port (another
// server as far as TLS and the pictures' origin go), is not the address asked for.
const char* WeakerHop(const TIdURI& from, const TIdURI& location) {
    if (from.Scheme.empty()) return nullptr;
    const TRedirectTarget target = TargetOf(from, location);
    const bool fromHttps = SameText(from.Scheme, "https"), toHttps = SameText(target.Scheme, "https");
    if (fromHttps && !toHttps) return "it leaves https";
    const int fromPort = PortOf(from);
    if (fromHttps == toHttps ? target.Port != fromPort : fromPort != 80 || target.Port != 443)
        return "it changes the port";
    return nullptr;
}

} // namespace

void CheckRedirect(const TRedirectPolicy& policy, const TIdURI& from, const std::string& location,
                   int count) {
    if (count > policy.Maximum)
        throw EIdRedirectRefused(Format("Too many redirects: more than %d, the last to %s", policy.Maximum,
                                        location.c_str()));
    // A relative address stays on the host that sent it.
    const TIdURI target(location);
    if (!target.HostName.empty() && !InDomain(target.HostName, policy.Domain))
        throw EIdRedirectRefused(
            Format("Redirect to %s refused: it leaves %s", location.c_str(), policy.Domain.c_str()));
    if (const char* weaker = WeakerHop(from, target))
        throw EIdRedirectRefused(Format("Redirect to %s refused: %s", location.c_str(), weaker));
}

void ApplyClientSettings(TIdHTTP& client, const std::string& url) {
    client.ReadTimeout = ClientReadTimeout();
    if (TIdSSLContextPtr tls = ClientTls(); tls && !client.TlsTransport()) client.UseTlsTransport(std::move(tls));
    TRedirectPolicy policy;
    {
        const std::lock_guard<std::mutex> lock(SettingsLock);
        policy = Redirects;
    }
    if (policy.Maximum > 0) {
        // One request more than the policy allows, so that the refusal is
        // this check's and never a silently empty reply.
        client.HandleRedirects = true;
        client.RedirectMaximum = policy.Maximum + 2;
        client.OnRedirect = [policy](TIdComponent* sender, std::string& location, int& count, bool&,
                                     TIdHTTPMethod&) {
            auto* http = dynamic_cast<TIdCustomHTTP*>(sender);
            CheckRedirect(policy, http ? http->CurrentUrl() : TIdURI(), location, count);
        };
    }
    UseProxyRule(client, ClientProxyRule(), url);
}
