#include "WriteOut.h"

#include "core/Exceptions.h"

#include <cstdio>

const char* const TWriteOut::Variables = "http_code, size_download";

namespace {

// What %{name} stands for; false for a name there is none of.
bool Variable(const std::string& name, const TTransferFacts* facts, std::string& value) {
    if (name == "http_code") {
        char code[16];
        std::snprintf(code, sizeof code, "%03d", facts ? facts->HttpCode : 0);
        value = code;
        return true;
    }
    if (name == "size_download") {
        value = std::to_string(facts ? facts->SizeDownload : 0);
        return true;
    }
    return false;
}

// One pass for both the check (facts absent) and the expansion.
std::string Walk(const std::string& format, const TTransferFacts* facts) {
    std::string out;
    for (size_t k = 0; k < format.size(); ++k) {
        const char c = format[k];
        const char next = k + 1 < format.size() ? format[k + 1] : '\0';
        if (c == '\\' && (next == 'n' || next == 'r' || next == 't')) {
            out += next == 'n' ? '\n' : next == 'r' ? '\r' : '\t';
            ++k;
        } else if (c == '%' && next == '%') {
            out += '%';
            ++k;
        } else if (c == '%' && next == '{' && format.find('}', k) != std::string::npos) {
            const size_t end = format.find('}', k);
            const std::string name = format.substr(k + 2, end - k - 2);
            std::string value;
            if (!Variable(name, facts, value))
                throw EConvertError("-w: there is no variable %{" + name + "} (there are " +
                                    TWriteOut::Variables + ")");
            out += value;
            k = end;
        } else {
            // As curl: an unclosed %{ and any other backslash stand as typed.
            out += c;
        }
    }
    return out;
}

} // namespace

TWriteOut::TWriteOut(const std::string& format) : FFormat(format) {
    Walk(FFormat, nullptr);
}

std::string TWriteOut::Expand(const TTransferFacts& facts) const {
    return Walk(FFormat, &facts);
}
