// Header blocks as servers send them: continuation lines, lookups by name,
// replacing values, folding long lines on writing, and the reply record
// that reads its fields (lengths, dates, connection words) from the lines.

#include "FuzzSupport.h"
#include "http/IdHTTPHeaderInfo.h"
#include "http/IdHeaderList.h"

namespace {

const char* const Names[] = {"Content-Length", "Transfer-Encoding", "Location", "Set-Cookie",
                             "WWW-Authenticate", "Connection", "Date", "X"};

void ListOperations(const std::string& text, uint8_t options) {
    TIdHeaderList headers;
    headers.FoldWidth = options & 63;
    headers.JoinContinuations = !(options & 64);
    headers.FoldOnWrite = !(options & 128);
    headers.SetText(text);
    for (const char* name : Names) {
        headers.ValueOf(name);
        TIdHeaderList all;
        headers.ExtractAll(name, &all);
    }
    for (int i = 0; i < headers.Count(); ++i) {
        headers.NameAt(i);
        headers.ValueAt(i);
    }
    const std::string firstValue = headers.Count() ? headers.ValueAt(0) : std::string();
    headers.SetHeader("Location", text.substr(0, 200));
    headers.SetHeader(headers.Count() ? headers.NameAt(0) : "X", firstValue + firstValue);
    headers.Text();
    WrapHeaderLine(text, headers.FoldWidth);
}

void ReplyRecord(const std::string& text) {
    TIdResponseHeaderInfo reply;
    reply.HeaderLines.SetText(text);
    fuzz::Refused([&] { reply.ParseHeaders(); });
    fuzz::Refused([&] { reply.ComposeHeaders(); });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::TInputPrefix prefix(data, size);
    // Fold width (low 6 bits), continuation lines kept apart, no folding.
    const uint8_t options = prefix.Byte();
    const std::string text = fuzz::Text(data, size);
    ListOperations(text, options);
    ReplyRecord(text);
    return 0;
}
