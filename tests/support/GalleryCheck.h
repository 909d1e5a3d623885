#pragma once
// What the strict HTML reader (tests/gallery/check_html.py) found in the
// gallery written under dest: its pages, texts, pictures and links as JSON,
// or a discarded value when the reader failed.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

inline nlohmann::json ReadGallery(const std::filesystem::path& dest) {
    const std::string command = "python3 '" + std::string(QUILLORA_SOURCE_DIR) +
                                "/tests/gallery/check_html.py' '" + dest.string() + "'";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    if (pipe) ::pclose(pipe);
    return nlohmann::json::parse(out, nullptr, false);
}

inline bool Contains(const nlohmann::json& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}
