#include "http/IdCookie.h"

#include "core/TextUtils.h"
#include "http/IdHTTPDate.h"
#include "http/IdURI.h"
#include "net/IdException.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// 9999-12-31, the last day a date text can name.
constexpr double LastDate = 2958465.0;

bool IsIPv4(const std::string& host) {
    int parts = 0;
    size_t i = 0;
    while (true) {
        size_t digits = 0;
        int value = 0;
        while (i < host.size() && host[i] >= '0' && host[i] <= '9' && digits < 4) {
            value = value * 10 + (host[i++] - '0');
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) return false;
        ++parts;
        if (i == host.size()) return parts == 4;
        if (host[i] != '.' || parts == 4) return false;
        ++i;
    }
}

// The host from its first "." on; the whole host when it has none.
std::string DomainPart(const std::string& host) {
    const size_t dot = host.find('.');
    return dot == std::string::npos ? host : host.substr(dot);
}

bool EndsWithText(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           SameText(std::string_view(text).substr(text.size() - tail.size()), tail);
}

// Whether a cookie kept under domain goes to a request for host: the domain
// itself, or a host inside it. Plain substring matching would hand the
// cookies of b.com to notb.com and those of 10.0.0.1 to 10.0.0.12.
bool DomainServes(const std::string& domain, const std::string& host) {
    if (domain.empty() || host.empty()) return false;
    if (SameText(domain, host)) return true;
    if (IsIPv4(host) || IsIPv4(domain)) return false;
    if (domain[0] == '.') return EndsWithText(host, domain) || SameText(host, domain.substr(1));
    return EndsWithText(host, "." + domain);
}

// A whole decimal number within 64 bits; fallback otherwise.
int64_t DecimalOr(const std::string& text, int64_t fallback) {
    if (text.empty()) return fallback;
    size_t i = text[0] == '-' || text[0] == '+' ? 1 : 0;
    if (i == text.size()) return fallback;
    const bool negative = text[0] == '-';
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return fallback;
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return fallback;
    }
    return negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
}

std::string Unquote(std::string text) {
    if (!text.empty() && text.front() == '"') text.erase(0, 1);
    if (!text.empty() && text.back() == '"') text.pop_back();
    return text;
}

// The items of a cookie value: split at ";", each trimmed; a value without
// ";" is one item as it stands.
std::vector<std::string> SplitCookieItems(const std::string& value) {
    std::vector<std::string> items;
    if (value.find(';') == std::string::npos) {
        items.push_back(value);
        return items;
    }
    std::string rest = value;
    size_t semi;
    while ((semi = rest.find(';')) != std::string::npos) {
        items.push_back(TextTrim(rest.substr(0, semi)));
        rest.erase(0, semi + 1);
    }
    rest = TextTrim(rest);
    if (!rest.empty()) items.push_back(rest);
    return items;
}

std::string UpperName(const std::string& item) {
    const size_t eq = item.find('=');
    if (eq == std::string::npos) return UpperCaseText(item);
    return UpperCaseText(item.substr(0, eq)) + item.substr(eq);
}

} // namespace

// ---------------------------------------------------------------- TIdNetscapeCookie

std::string TIdNetscapeCookie::TItems::Value(const std::string& name) const {
    for (const std::string& item : FItems) {
        const size_t eq = item.find('=');
        if (item.substr(0, eq) == name) return eq == std::string::npos ? std::string() : item.substr(eq + 1);
    }
    return {};
}

bool TIdNetscapeCookie::TItems::Has(const std::string& name) const {
    for (const std::string& item : FItems)
        if (item.substr(0, item.find('=')) == name) return true;
    return false;
}

void TIdNetscapeCookie::ParseCookie(const std::string& value) {
    if (value == RawText) return;
    RawText = value;
    std::vector<std::string> items = SplitCookieItems(value);
    const std::string first = items.front();
    const size_t eq = first.find('=');
    Name = eq == std::string::npos ? std::string() : first.substr(0, eq);
    Value = eq == std::string::npos ? first : first.substr(eq + 1);
    items.erase(items.begin());
    for (std::string& item : items)
        item = UpperName(item);
    LoadProperties(TItems(std::move(items)));
}

void TIdNetscapeCookie::LoadProperties(const TItems& items) {
    Path = Unquote(items.Value("PATH"));
    SetExpires(items.Value("EXPIRES"));
    Domain = items.Value("DOMAIN");
    Secure = items.Has("SECURE");
}

void TIdNetscapeCookie::SetExpires(const std::string& text) {
    Expires = text;
}

bool TIdNetscapeCookie::ExpiryDate(double& localDate) const {
    if (Expires.empty()) return false;
    localDate = StrInternetToDateTime(Expires);
    // A text that does not read as a date comes back as the bare local
    // offset; such a cookie lives like one without a date instead of dying at once.
    return localDate != LocalOffsetFromUtc();
}

bool TIdNetscapeCookie::DomainMatches(const std::string& requestHost) const {
    if (IsIPv4(requestHost)) return Domain == requestHost;
    const std::string domainPart = DomainPart(requestHost);
    if (!requestHost.empty() && requestHost[0] == '.') return SameText(Domain, domainPart);
    if (Domain.empty() || (Domain[0] != '.' && !IsIPv4(Domain))) return Domain == requestHost;
    // ".com" from a.com would reach every host of the top-level domain.
    if (Domain[0] == '.' && Domain.find('.', 1) == std::string::npos) return false;
    return Domain == domainPart;
}

bool TIdNetscapeCookie::SentTo(const std::string& requestHost) const {
    return DomainServes(Domain, requestHost);
}

std::string TIdNetscapeCookie::ServerAttribute(const char* name, const std::string& value) const {
    return value.empty() ? std::string() : std::string("; ") + name + "=" + value;
}

std::string TIdNetscapeCookie::ServerCookie() const {
    // The date goes along for every kind: a newcomer that expires the stored
    // cookie (the usual way to delete one) must not turn into a session cookie.
    std::string text = Name + "=" + Value + ServerAttribute("path", Path) +
                       ServerAttribute("expires", Expires) + ServerAttribute("domain", Domain);
    if (Secure) text += "; secure";
    return text;
}

// ---------------------------------------------------------------- RFC 2109

void TIdCookieRFC2109::LoadProperties(const TItems& items) {
    TIdNetscapeCookie::LoadProperties(items);
    MaxAge = DecimalOr(items.Value("MAX-AGE"), -1);
    if (MaxAge < -1) MaxAge = -1;
    Version = items.Value("VERSION");
    Comment = items.Value("COMMENT");
    if (Expires.empty()) {
        Dialect = cdNetscape;
        if (MaxAge >= 0) {
            // Whole seconds, so that max-age=0 is already over when the text is read back.
            const double now = std::floor(NowLocal() * 86400.0) / 86400.0;
            const double days = std::min(static_cast<double>(MaxAge) / 86400.0, LastDate - now);
            // MaxAge is where this date comes from: read back, it would only
            // lose what lies past the last date a text can name.
            TIdNetscapeCookie::SetExpires(DateTimeToInternetStr(now + days));
        }
    }
}

void TIdCookieRFC2109::SetExpires(const std::string& text) {
    TIdNetscapeCookie::SetExpires(text);
    double date = 0;
    try {
        if (!ExpiryDate(date)) return;
    } catch (const Exception&) {
        return; // no time zone, no date: the text alone is kept
    }
    const double seconds = std::round(date * 86400.0) - std::floor(NowLocal() * 86400.0);
    MaxAge = seconds <= 0 ? 0 : static_cast<int64_t>(std::min(seconds, 9.0e18));
}

std::string TIdCookieRFC2109::ServerCookie() const {
    std::string text = TIdNetscapeCookie::ServerCookie();
    if (MaxAge >= 0 && Expires.empty()) text += "; max-age=" + IntToText(MaxAge);
    return text + ServerAttribute("comment", Comment) + ServerAttribute("version", Version);
}

// ---------------------------------------------------------------- RFC 2965

void TIdCookieRFC2965::SetPort(int index, int32_t port) {
    if (index < 0 || static_cast<size_t>(index) > Ports.size()) throw EIdException("Index out of range.");
    if (static_cast<size_t>(index) == Ports.size())
        Ports.push_back(port);
    else
        Ports[static_cast<size_t>(index)] = port;
}

void TIdCookieRFC2965::LoadProperties(const TItems& items) {
    TIdCookieRFC2109::LoadProperties(items);
    CommentUrl = items.Value("COMMENTURL");
    Discard = items.Has("DISCARD");
    const std::string port = items.Value("PORT");
    if (port.empty()) {
        Ports.assign(1, 80);
        return;
    }
    if (port.size() < 2 || port.front() != '"' || port.back() != '"') return;
    std::string list = port.substr(1, port.size() - 2);
    std::vector<int32_t> ports;
    while (!list.empty())
        ports.push_back(TextToInt(TextTrim(SplitAt(list, ","))));
    if (ports.empty()) ports.push_back(80);
    Ports.clear();
    for (size_t i = 0; i < ports.size(); ++i)
        SetPort(static_cast<int>(i), ports[i]);
}

// ---------------------------------------------------------------- TIdReadWriteLock

bool TIdReadWriteLock::HeldByMe() {
    std::lock_guard<std::mutex> hold(FOwnerGuard);
    return FWriteDepth > 0 && FWriter == std::this_thread::get_id();
}

void TIdReadWriteLock::BeginWrite() {
    if (HeldByMe()) {
        std::lock_guard<std::mutex> hold(FOwnerGuard);
        ++FWriteDepth;
        return;
    }
    FLock.lock();
    std::lock_guard<std::mutex> hold(FOwnerGuard);
    FWriter = std::this_thread::get_id();
    FWriteDepth = 1;
}

void TIdReadWriteLock::EndWrite() {
    {
        std::lock_guard<std::mutex> hold(FOwnerGuard);
        if (--FWriteDepth > 0) return;
        FWriter = std::thread::id();
    }
    FLock.unlock();
}

void TIdReadWriteLock::BeginRead() {
    // The writer reads under its own lock; waiting for a shared hold would deadlock it.
    if (HeldByMe()) {
        BeginWrite();
        return;
    }
    FLock.lock_shared();
}

void TIdReadWriteLock::EndRead() {
    if (HeldByMe()) {
        EndWrite();
        return;
    }
    FLock.unlock_shared();
}

namespace {

class TReadHold {
  public:
    explicit TReadHold(TIdReadWriteLock& lock) : FLock(lock) { FLock.BeginRead(); }
    ~TReadHold() { FLock.EndRead(); }
    TReadHold(const TReadHold&) = delete;
    TReadHold& operator=(const TReadHold&) = delete;

  private:
    TIdReadWriteLock& FLock;
};

class TWriteHold {
  public:
    explicit TWriteHold(TIdReadWriteLock& lock) : FLock(lock) { FLock.BeginWrite(); }
    ~TWriteHold() { FLock.EndWrite(); }
    TWriteHold(const TWriteHold&) = delete;
    TWriteHold& operator=(const TWriteHold&) = delete;

  private:
    TIdReadWriteLock& FLock;
};

bool IsPrefix(const std::string& prefix, const std::string& text) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

// ---------------------------------------------------------------- TIdCookies

TIdCookies::~TIdCookies() {
    Clear();
}

TIdCookies::TDomainEntry* TIdCookies::FindDomain(const std::string& domain) {
    for (TDomainEntry& entry : FDomains)
        if (SameText(entry.Domain, domain)) return &entry;
    return nullptr;
}

void TIdCookies::AddCookie(std::unique_ptr<TIdNetscapeCookie> cookie) {
    TWriteHold hold(FLock);
    TDomainEntry* entry = FindDomain(cookie->Domain);
    if (entry == nullptr) {
        FDomains.push_back({cookie->Domain, {}});
        entry = &FDomains.back();
    }
    for (std::unique_ptr<TIdNetscapeCookie>& stored : entry->Cookies) {
        if (SameText(stored->Name, cookie->Name)) {
            stored->ParseCookie(cookie->ServerCookie());
            stored->Dialect = cookie->Dialect;
            return;
        }
    }
    // A reply can carry any number of Set-Cookie lines; past the limit the
    // oldest cookie of the domain makes room, so the jar and the time spent
    // looking through it stay bounded.
    if (entry->Cookies.size() >= MaxCookiesPerDomain) entry->Cookies.erase(entry->Cookies.begin());
    entry->Cookies.push_back(std::move(cookie));
}

void TIdCookies::PurgeExpired() {
    TWriteHold hold(FLock);
    const double now = NowLocal();
    for (TDomainEntry& entry : FDomains) {
        std::erase_if(entry.Cookies, [now](const std::unique_ptr<TIdNetscapeCookie>& cookie) {
            double expires = 0;
            return cookie->ExpiryDate(expires) && expires <= now;
        });
    }
    std::erase_if(FDomains, [](const TDomainEntry& entry) { return entry.Cookies.empty(); });
}

std::string TIdCookies::CookieHeaderFor(const std::string& host, const std::string& dirPath, bool secure) {
    PurgeExpired();
    std::vector<const TIdNetscapeCookie*> kept;
    {
        TReadHold hold(FLock);
        for (const TDomainEntry& entry : FDomains) {
            if (!DomainServes(entry.Domain, host)) continue;
            for (auto it = entry.Cookies.rbegin(); it != entry.Cookies.rend(); ++it) {
                const TIdNetscapeCookie& cookie = **it;
                if (IsPrefix(cookie.Path, dirPath) && (!cookie.Secure || secure) && !cookie.Value.empty())
                    kept.push_back(&cookie);
            }
        }
        std::stable_sort(kept.begin(), kept.end(),
                         [](const TIdNetscapeCookie* a, const TIdNetscapeCookie* b) {
                             return UpperCaseText(a->Path) < UpperCaseText(b->Path);
                         });
        std::string text;
        for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
            if (!text.empty()) text += "; ";
            text += (*it)->Name + "=" + (*it)->Value;
        }
        return text;
    }
}

void TIdCookies::Clear() {
    TWriteHold hold(FLock);
    FDomains.clear();
}

int TIdCookies::Count() {
    TReadHold hold(FLock);
    size_t count = 0;
    for (const TDomainEntry& entry : FDomains)
        count += entry.Cookies.size();
    return static_cast<int>(count);
}

const TIdNetscapeCookie* TIdCookies::Cookie(int index) {
    TReadHold hold(FLock);
    if (index < 0) return nullptr;
    for (const TDomainEntry& entry : FDomains) {
        if (index < static_cast<int>(entry.Cookies.size()))
            return entry.Cookies[static_cast<size_t>(index)].get();
        index -= static_cast<int>(entry.Cookies.size());
    }
    return nullptr;
}

TIdNetscapeCookie* TIdCookies::Find(const std::string& domain, const std::string& name) {
    TReadHold hold(FLock);
    TDomainEntry* entry = FindDomain(domain);
    if (entry == nullptr) return nullptr;
    for (std::unique_ptr<TIdNetscapeCookie>& cookie : entry->Cookies)
        if (SameText(cookie->Name, name)) return cookie.get();
    return nullptr;
}
