#include "InputChecks.h"

#include "Shown.h"
#include "core/Exceptions.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"
#include "core/TextUtils.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The character as a message names it. Messages are texts of the program
// (GBK), escaped where they are shown.
std::string Named(char c) {
    if (c == ' ') return "a blank";
    std::string named(3, '"');
    named[1] = c;
    return named;
}

struct TStat {
    bool Exists = false, Folder = false;
    int Error = 0; // why it could not be looked at (ENOENT: it is not there)
};

TStat StatOf(const std::string& path) {
    struct stat st {};
    TStat result;
    if (::stat(GbkToFileName(path).c_str(), &st) != 0) {
        result.Error = errno;
        return result;
    }
    result.Exists = true;
    result.Folder = S_ISDIR(st.st_mode);
    return result;
}

std::string Parent(const std::string& path) {
    const size_t slash = path.find_last_of('/', path.size() > 1 ? path.size() - 2 : 0);
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The nearest folder above path that exists must be one and be writable.
std::string AncestorProblem(const std::string& path) {
    std::string above = Parent(path);
    for (int depth = 0; depth < 4096; ++depth) {
        const TStat st = StatOf(above);
        if (st.Exists && !st.Folder) return "\"" + above + "\" is a file, not a folder";
        if (st.Exists) {
            if (::access(GbkToFileName(above).c_str(), W_OK | X_OK) != 0)
                return "the folder \"" + above + "\" cannot be written (" + SystemErrorText(errno) + ")";
            return {};
        }
        if (above == "/" || above == ".") return {};
        above = Parent(above);
    }
    return {};
}

} // namespace

std::string AccountNameProblem(const std::string& account) {
    for (size_t k = 0; k < account.size(); ++k) {
        const char c = account[k];
        const auto byte = static_cast<unsigned char>(c);
        std::string why;
        if (byte < 0x20 || byte == 0x7F || c == ' ' || c == '/' || c == '?' || c == '#')
            why = Named(c) + " cannot be part of an account name";
        else if (c == '%' &&
                 !(k + 2 < account.size() && IsHexDigit(account[k + 1]) && IsHexDigit(account[k + 2])))
            why = "\"%\" cannot be part of an account name unless it starts an escape (%41)";
        if (!why.empty()) return "account \"" + account + "\": " + why;
        // A double-byte character's second byte is never one of these; it is passed over whole.
        if (byte >= 0x81 && byte <= 0xFE && k + 1 < account.size()) ++k;
    }
    return {};
}

std::string AlbumNameProblem(const std::string& name) {
    // The window's own case (its description would be the hidden Pic/.txt,
    // its pictures loose in Pic/): no folder of its own.
    const std::string trimmed = TextTrim(name);
    if (trimmed.empty()) return "The album's name is blank: it names no folder of its own";
    // ".", ".." and a name with "/" would lead out of its folder; the file
    // system's own words for it ("Invalid argument") read like a fault of the disk.
    if (!IsPlainFileName(trimmed) || HasControlCharacter(trimmed))
        return "album name \"" + trimmed + "\" cannot be a folder name";
    return {};
}

std::string PathProblem(const std::string& given, bool folder) {
    std::string path = given;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const TStat st = StatOf(path);
    if (st.Error == ENAMETOOLONG) return "\"" + path + "\": " + SystemErrorText(st.Error);
    if (st.Exists && folder && !st.Folder) return "\"" + path + "\" is a file, not a folder";
    if (st.Exists && !folder && st.Folder) return "\"" + path + "\" is a folder";
    if (st.Exists && folder && ::access(GbkToFileName(path).c_str(), W_OK | X_OK) != 0)
        return "the folder \"" + path + "\" cannot be written (" + SystemErrorText(errno) + ")";
    return AncestorProblem(path);
}

void MakeParentFolders(const std::string& path) {
    const std::string parent = Parent(ExpandFileName(path));
    if (parent == "." || parent == "/") return;
    if (!MakeFolders(parent + "/"))
        throw EInOutError("Cannot create the folder \"" + parent + "\". " + SystemErrorText(errno), errno);
}
