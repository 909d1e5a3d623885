#pragma once
// How the command-line tools say what went wrong on the network: where it
// went wrong first (the host, and the proxy the request went through), then
// the client's own text on one line, its Winsock frame in brackets:
//
//   photo.quillora.example: Host not found (Socket Error # 11001)
//   photo.quillora.example via proxy 127.0.0.1:9: Connection refused (Socket Error # 10061)
//
// The window keeps the client's texts as they are; only a line of a
// terminal needs them on one line.

#include "net/IdException.h"

#include <string>

// A failure of the connection itself (resolving, connecting, reading,
// closing) rather than a server's answer or a refused address.
inline bool IsNetworkFailure(const Exception& e) {
    return dynamic_cast<const EIdSocketError*>(&e) || dynamic_cast<const EIdConnectTimeout*>(&e) ||
           dynamic_cast<const EIdConnectException*>(&e) || dynamic_cast<const EIdReadTimeout*>(&e) ||
           dynamic_cast<const EIdConnClosedGracefully*>(&e) || dynamic_cast<const EIdClosedSocket*>(&e) ||
           dynamic_cast<const EIdTCPConnectionError*>(&e);
}

// The lines of text on one line: every run of line breaks is one blank.
inline std::string JoinedLines(const std::string& text) {
    std::string out;
    bool broken = false;
    for (const char c : text) {
        if (c == '\r' || c == '\n') {
            broken = true;
            continue;
        }
        if (broken && !out.empty() && out.back() != ' ') out += ' ';
        broken = false;
        out += c;
    }
    return out;
}

// "Socket Error # N\r\nText." (or its lines joined by a blank) to
// "Text (Socket Error # N)"; any other text with its lines joined.
inline std::string UnframedSocketError(const std::string& message) {
    static const std::string frame = "Socket Error # ";
    size_t lineEnd = message.find_first_of("\r\n");
    if (lineEnd == std::string::npos && message.rfind(frame, 0) == 0)
        lineEnd = message.find(' ', frame.size());
    if (message.rfind(frame, 0) != 0 || lineEnd == std::string::npos) return JoinedLines(message);
    const std::string number = message.substr(0, lineEnd);
    std::string text = JoinedLines(message.substr(lineEnd));
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.erase(0, 1);
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text.empty() ? number : text + " (" + number + ")";
}

// "host: text", or "host via proxy P: text" when proxy (host:port) is not empty.
inline std::string NetworkErrorText(const std::string& message, const std::string& host,
                                    const std::string& proxy) {
    std::string where = host;
    if (!proxy.empty()) where += (where.empty() ? "proxy " : " via proxy ") + proxy;
    const std::string text = UnframedSocketError(message);
    return where.empty() ? text : where + ": " + text;
}
