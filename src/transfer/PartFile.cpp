#include "transfer/PartFile.h"

#include "core/Exceptions.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char* PartPrefix = ".quillora-";
constexpr const char* PartSuffix = ".part";
constexpr size_t HashDigits = 32;

// Two independent 64-bit hashes (FNV-1a, and a multiply-rotate one with
// another seed): a collision would need both to collide at once.
uint64_t MixHash(const std::string& text) {
    uint64_t h = 0x9e3779b97f4a7c15ull ^ text.size();
    for (unsigned char c : text) {
        h = (h ^ c) * 0xff51afd7ed558ccdull;
        h = (h << 29) | (h >> 35);
    }
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    return h ^ (h >> 33);
}

std::string Hex(uint64_t value) {
    static const char digits[] = "0123456789abcdef";
    std::string out(16, '0');
    for (int k = 15; k >= 0; --k, value >>= 4)
        out[static_cast<size_t>(k)] = digits[value & 15];
    return out;
}

} // namespace

std::string PartPathFor(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = path.substr(folder.size());
    return folder + PartPrefix + Hex(NameHash(name)) + Hex(MixHash(name)) + PartSuffix;
}

bool IsPartFileName(const std::string& fileName) {
    const std::string prefix = PartPrefix, suffix = PartSuffix;
    if (fileName.size() != prefix.size() + HashDigits + suffix.size()) return false;
    if (fileName.compare(0, prefix.size(), prefix) != 0) return false;
    if (fileName.compare(fileName.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
    return fileName.find_first_not_of("0123456789abcdef", prefix.size()) == prefix.size() + HashDigits;
}
