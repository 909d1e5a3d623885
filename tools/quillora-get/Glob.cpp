#include "Glob.h"

namespace {

// Code points of a UTF-8 text; a byte that starts no valid sequence stands
// for itself (offset past Unicode), so that any text can be matched.
std::u32string Decode(const std::string& text) {
    std::u32string out;
    for (size_t k = 0; k < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[k]);
        const size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        bool valid = n > 0 && k + n <= text.size();
        char32_t cp = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
        for (size_t i = 1; valid && i < n; ++i) {
            const unsigned char d = static_cast<unsigned char>(text[k + i]);
            valid = (d & 0xC0) == 0x80;
            cp = (cp << 6) | (d & 0x3F);
        }
        if (!valid) {
            out.push_back(0x110000 + c);
            ++k;
            continue;
        }
        out.push_back(cp);
        k += n;
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
