#pragma once
// Cookies as servers set them (Set-Cookie and Set-Cookie2 headers) and the
// collection that holds them, indexed by domain.

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

enum TIdCookieDialect { cdNetscape = 0, cdRFC2109 = 1, cdRFC2965 = 2 };

class TIdNetscapeCookie {
  public:
    TIdNetscapeCookie() = default;
    virtual ~TIdNetscapeCookie() = default;
    TIdNetscapeCookie(const TIdNetscapeCookie&) = delete;
    TIdNetscapeCookie& operator=(const TIdNetscapeCookie&) = delete;

    // Reads a Set-Cookie value; a value equal to RawText changes nothing.
    void ParseCookie(const std::string& value);
    // Whether a server at requestHost may set this cookie.
    bool DomainMatches(const std::string& requestHost) const;
    // Whether this cookie goes to requestHost (decided by the cookie's Domain).
    bool SentTo(const std::string& requestHost) const;
    // The cookie written back as a Set-Cookie value.
    virtual std::string ServerCookie() const;
    // Expires read as a local date-time; false when it is empty or unreadable.
    bool ExpiryDate(double& localDate) const;
    // Sets Expires; the RFC kinds also set MaxAge from a date they can read.
    virtual void SetExpires(const std::string& text);

    std::string Name;
    std::string Value;
    std::string Path;
    std::string Expires;
    std::string Domain;
    bool Secure = false;
    int64_t MaxAge = -1;
    std::string Version;
    std::string Comment;
    int Dialect = cdNetscape;
    std::string RawText;

  protected:
    // Attributes by upper-case name; the first item of a name wins.
    class TItems {
      public:
        explicit TItems(std::vector<std::string> items) : FItems(std::move(items)) {}
        std::string Value(const std::string& name) const;
        bool Has(const std::string& name) const;

      private:
        std::vector<std::string> FItems;
    };
    virtual void LoadProperties(const TItems& items);
    std::string ServerAttribute(const char* name, const std::string& value) const;
};

class TIdCookieRFC2109 : public TIdNetscapeCookie {
  public:
    TIdCookieRFC2109() { Dialect = cdRFC2109; }
    std::string ServerCookie() const override;
    // MaxAge becomes the whole seconds from now to the date (0 for a date
    // already past); a text that reads as no date leaves MaxAge alone.
    void SetExpires(const std::string& text) override;

  protected:
    void LoadProperties(const TItems& items) override;
};

class TIdCookieRFC2965 : public TIdCookieRFC2109 {
  public:
    TIdCookieRFC2965() {
        Dialect = cdRFC2965;
        Ports.push_back(80);
    }
    // Index Count() appends; an index further out fails with "Index out of range.".
    void SetPort(int index, int32_t port);

    std::string CommentUrl;
    bool Discard = false;
    std::vector<int32_t> Ports;

  protected:
    void LoadProperties(const TItems& items) override;
};

// A lock for many readers or one writer, where the writer may take it again
// (and may read) while it holds it.
class TIdReadWriteLock {
  public:
    void BeginRead();
    void EndRead();
    void BeginWrite();
    void EndWrite();

  private:
    bool HeldByMe();
    std::shared_mutex FLock;
    std::mutex FOwnerGuard;
    std::thread::id FWriter;
    int FWriteDepth = 0;
};

// Every cookie of a manager, grouped by domain in the order the domains were
// first seen; inside a domain the cookies are keyed by name (without regard
// to case) in the order they were added.
class TIdCookies {
  public:
    struct TDomainEntry {
        std::string Domain;
        std::vector<std::unique_ptr<TIdNetscapeCookie>> Cookies;
    };

    // As many as a browser keeps for one domain.
    static constexpr size_t MaxCookiesPerDomain = 180;

    ~TIdCookies();

    // Takes the cookie, or lets a stored cookie of the same domain and name
    // take over its attributes and drops it.
    void AddCookie(std::unique_ptr<TIdNetscapeCookie> cookie);
    // Destroys every cookie whose Expires lies in the past.
    void PurgeExpired();
    // The Cookie header text for a request to host/dirPath.
    std::string CookieHeaderFor(const std::string& host, const std::string& dirPath, bool secure);
    // Destroys every cookie.
    void Clear();

    int Count();
    // Index order: domain by domain, in each domain the order of adding.
    const TIdNetscapeCookie* Cookie(int index);
    TIdNetscapeCookie* Find(const std::string& domain, const std::string& name);

    TIdReadWriteLock& Lock() { return FLock; }

  private:
    TDomainEntry* FindDomain(const std::string& domain);
    TIdReadWriteLock FLock;
    std::vector<TDomainEntry> FDomains;
};
