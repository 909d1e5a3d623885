// Hostile texts against the list parsers and the header list: each scenario
// runs in a process of its own and prints its time and how far the process's
// peak memory rose above where it started.
//   bench_hostile SCENARIO     (pictures-unended, albums-unended, pictures-large, continuations)

#include "core/Classes.h"
#include "core/Exceptions.h"
#include "catalogue/AlbumList.h"
#include "download/PictureList.h"
#include "http/IdHeaderList.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

namespace {

long StatusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::string(field).size()));
    return 0;
}

std::string Repeat(const std::string& text, size_t times) {
    std::string all;
    for (size_t k = 0; k < times; ++k)
        all += text;
    return all;
}

// A 64 KiB script of nothing but "id": no record ever ends, so every byte
// starts one more record that runs to the end of the text.
const std::string Unended = "[{id" + Repeat("id", 32766);

size_t PicturesUnended() {
    TStringList list;
    ParsePictureList(Unended, list);
    return static_cast<size_t>(list.Count());
}

size_t AlbumsUnended() {
    ClearAlbumList();
    LoadAlbumList(Unended + "au:0,count:1,t:");
    return AlbumList.size();
}

// 100000 well-formed records, about 8 MB: the parser's ordinary pace.
size_t PicturesLarge() {
    const std::string record = "{id:123456,ourl:'b12/photo/2024/IMG_000123.jpg',ow:1600,oh:1200,x:'y'},";
    TStringList list;
    ParsePictureList("var p=[" + Repeat(record, 100000) + "];", list);
    return static_cast<size_t>(list.Count());
}

// One header with 100000 continuation lines, read by name.
size_t Continuations() {
    TIdHeaderList headers;
    headers.Add("X-Long: start");
    for (int k = 0; k < 100000; ++k)
        headers.Add(" piece");
    return headers.ValueOf("x-long").size();
}

} // namespace

int main(int argc, char** argv) {
    const std::string scenario = argc > 1 ? argv[1] : "";
    std::function<size_t()> run;
    if (scenario == "pictures-unended") run = PicturesUnended;
    if (scenario == "albums-unended") run = AlbumsUnended;
    if (scenario == "pictures-large") run = PicturesLarge;
    if (scenario == "continuations") run = Continuations;
    if (!run) {
        std::fprintf(stderr, "unknown scenario \"%s\"\n", scenario.c_str());
        return 2;
    }
    const long startKb = StatusKb("VmRSS:");
    const auto start = std::chrono::steady_clock::now();
    std::string outcome;
    try {
        outcome = std::to_string(run()) + " results";
    } catch (const Exception& e) {
        outcome = e.Message();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%-18s %9.3f s %9ld KB peak growth  (%s)\n", scenario.c_str(), seconds,
                StatusKb("VmHWM:") - startKb, outcome.c_str());
    return 0;
}
