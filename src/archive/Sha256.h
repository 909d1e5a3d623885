#pragma once
// SHA-256 of bytes as they pass by, in the form sha256sum prints (lower-case
// hex), from OpenSSL's libcrypto.

#include <cstddef>
#include <cstdint>
#include <string>

class TSha256 {
  public:
    TSha256();
    ~TSha256();
    TSha256(const TSha256&) = delete;
    TSha256& operator=(const TSha256&) = delete;

    // Forgets every byte seen so far.
    void Reset();
    void Update(const void* data, size_t size);
    // The digest of the bytes seen so far; the hash goes on from there.
    std::string HexDigest() const;
    uint64_t Bytes() const { return FBytes; }

  private:
    struct evp_md_ctx_st* FContext;
    uint64_t FBytes = 0;
};

// The digest of a whole file (GBK path); false with errorNumber set when it
// cannot be read. bytes receives its length; onBytes, when given, the size of
// every piece read (for a progress line).
bool Sha256OfFile(const std::string& path, std::string& digest, int64_t& bytes, int& errorNumber,
                  void (*onBytes)(void* user, int64_t n) = nullptr, void* user = nullptr);
