#include "Glob.h"

#include "core/TextUtils.h"

namespace {

// Code points of a UTF-8 text; a byte that starts no valid sequence stands
// for itself (offset past Unicode), so that any text can be matched.
std::u32string Decode(const std::string& text) {
    std::u32string out;
    for (size_t k = 0; k < text.size();) {
        char32_t cp = 0;
        const size_t n = DecodeUtf8At(text, k, cp);
        out.push_back(n > 0 ? cp : 0x110000 + static_cast<unsigned char>(text[k]));
        k += n > 0 ? n : 1;
    }
    return out;
}

// Whether c is in the bracket expression starting at p (just past "["); p
// is moved past its "]". False with p unmoved when the bracket never closes.
bool InClass(const std::u32string& pat, size_t& p, char32_t c, bool& closed) {
    size_t k = p;
    const bool negate = k < pat.size() && (pat[k] == U'!' || pat[k] == U'^');
    if (negate) ++k;
    bool hit = false;
    for (bool first = true; k < pat.size() && (first || pat[k] != U']'); first = false) {
        char32_t low = pat[k];
        if (low == U'\\' && k + 1 < pat.size()) low = pat[++k];
        ++k;
        char32_t high = low;
        if (k + 1 < pat.size() && pat[k] == U'-' && pat[k + 1] != U']') {
            high = pat[k + 1];
            if (high == U'\\' && k + 2 < pat.size()) high = pat[++k + 1];
            k += 2;
        }
        if (low <= c && c <= high) hit = true;
    }
    closed = k < pat.size();
    if (closed) p = k + 1;
    return hit != negate;
}

} // namespace

bool GlobMatch(const std::string& pattern, const std::string& text) {
    const std::u32string pat = Decode(pattern), str = Decode(text);
    size_t p = 0, s = 0;
    size_t starP = std::u32string::npos, starS = 0; // the last * and where its match ends
    while (s < str.size()) {
        if (p < pat.size() && pat[p] == U'*') {
            starP = p++;
            starS = s;
            continue;
        }
        if (p < pat.size()) {
            size_t next = p + 1;
            bool match = false;
            if (pat[p] == U'?') {
                match = true;
            } else if (pat[p] == U'[') {
                bool closed = false;
                size_t q = p + 1;
                match = InClass(pat, q, str[s], closed);
                if (closed)
                    next = q;
                else
                    match = str[s] == U'['; // an unclosed "[" is itself
            } else if (pat[p] == U'\\' && p + 1 < pat.size()) {
                match = pat[p + 1] == str[s];
                next = p + 2;
            } else {
                match = pat[p] == str[s];
            }
            if (match) {
                p = next;
                ++s;
                continue;
            }
        }
        if (starP == std::u32string::npos) return false;
        // Let the last * take one more character.
        p = starP + 1;
        s = ++starS;
    }
    while (p < pat.size() && pat[p] == U'*')
        ++p;
    return p == pat.size();
}
