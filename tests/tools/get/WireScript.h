#pragma once
// The scripted account "wire" of the sample service (--wire): pictures that
// answer with raw replies written by the test, one per request in turn.

#include "GetHarness.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct TReply {
    std::string Bytes;
    std::string Then = "close"; // keep, close, silent (no reply at all)
    int64_t Fill = 0;           // that many "x" after Bytes
};

struct TWirePicture {
    std::string Name; // the file name; the path is b1/wire-01/<Name>
    std::vector<TReply> Replies;
    std::string Path = {}; // set instead of Name for an address of its own
};

inline std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

inline std::string WirePath(const TWirePicture& p) {
    return p.Path.empty() ? "b1/wire-01/" + p.Name : p.Path;
}

inline nlohmann::json Replies(const std::vector<TReply>& replies) {
    nlohmann::json out = nlohmann::json::array();
    for (const TReply& r : replies)
        out.push_back({{"hex", Hex(r.Bytes)}, {"then", r.Then}, {"fill", r.Fill}});
    return out;
}

// The script of the account "wire": one album of these pictures; pages of
// the home host (by path) may be scripted as well.
inline fs::path WriteWire(const fs::path& folder, const std::vector<TWirePicture>& pictures,
                          const std::string& albumName = "线路",
                          const std::map<std::string, std::vector<TReply>>& pages = {}) {
    nlohmann::json album = {{"name", albumName}, {"pictures", nlohmann::json::array()}};
    for (const TWirePicture& p : pictures)
        album["pictures"].push_back({{"path", WirePath(p)}, {"replies", Replies(p.Replies)}});
    nlohmann::json scripted = nlohmann::json::object();
    for (const auto& [path, replies] : pages)
        scripted[path] = Replies(replies);
    const fs::path file = folder / "wire.json";
    WriteWhole(file, nlohmann::json{{"account", "wire"}, {"albums", {album}}, {"pages", scripted}}.dump());
    return file;
}

inline std::string Ok(const std::string& body, const std::string& extra = "") {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra + "\r\n" +
           body;
}

inline std::string Partial(const std::string& body, size_t from, size_t to, const std::string& total) {
    const std::string piece = body.substr(from, to - from + 1);
    return "HTTP/1.1 206 Partial Content\r\nContent-Length: " + std::to_string(piece.size()) +
           "\r\nContent-Range: bytes " + std::to_string(from) + "-" + std::to_string(to) + "/" + total +
           "\r\n\r\n" + piece;
}
