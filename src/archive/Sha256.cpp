#include "archive/Sha256.h"

#include "core/ConfinedFiles.h"
#include "core/Exceptions.h"
#include "core/Gbk.h"

#include <cerrno>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <vector>

TSha256::TSha256() : FContext(EVP_MD_CTX_new()) {
    if (!FContext) throw EOutOfMemory("Out of memory");
    Reset();
}

TSha256::~TSha256() {
    EVP_MD_CTX_free(FContext);
}

void TSha256::Reset() {
    if (EVP_DigestInit_ex(FContext, EVP_sha256(), nullptr) != 1) throw Exception("SHA-256 is not available");
    FBytes = 0;
}

void TSha256::Update(const void* data, size_t size) {
    if (size == 0) return;
    if (EVP_DigestUpdate(FContext, data, size) != 1) throw Exception("SHA-256 failed");
    FBytes += size;
}

std::string TSha256::HexDigest() const {
    // Finishing a copy leaves this one open for more bytes.
    EVP_MD_CTX* copy = EVP_MD_CTX_new();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool ok = copy && EVP_MD_CTX_copy_ex(copy, FContext) == 1 &&
                    EVP_DigestFinal_ex(copy, digest, &length) == 1;
    EVP_MD_CTX_free(copy);
    if (!ok) throw Exception("SHA-256 failed");
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int k = 0; k < length; ++k) {
        text += hex[digest[k] >> 4];
        text += hex[digest[k] & 15];
    }
    return text;
}

bool Sha256OfFile(const std::string& path, std::string& digest, int64_t& bytes, int& errorNumber,
                  void (*onBytes)(void* user, int64_t n), void* user) {
    const int file = OpenConfined(path, O_RDONLY);
    if (file < 0) {
        errorNumber = errno;
        return false;
    }
    TSha256 hash;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = ::read(file, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            errorNumber = errno;
            ::close(file);
            return false;
        }
        if (n == 0) break;
        hash.Update(buffer.data(), static_cast<size_t>(n));
        if (onBytes) onBytes(user, n);
    }
    ::close(file);
    digest = hash.HexDigest();
    bytes = static_cast<int64_t>(hash.Bytes());
    errorNumber = 0;
    return true;
}
