#include "AccountRun.h"

#include "DownloadRun.h"
#include "Glob.h"
#include "core/Gbk.h"
#include "core/TextUtils.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>

std::vector<std::string> ReadAccountFile(const std::string& path) {
    std::ifstream file;
    if (path != "-") {
        file.open(GbkToFileName(path));
        if (!file) throw EGetUsage("--input-file: cannot read " + path + ": " + std::strerror(errno));
    }
    std::istream& in = path == "-" ? std::cin : file;
    std::vector<std::string> accounts;
    std::string line;
    // A list of accounts is short; a file that is not one is cut off.
    for (size_t lines = 0; lines < 100000 && std::getline(in, line); ++lines) {
        const std::string account = TextTrim(Utf8ToGbk(line));
        if (!account.empty() && account[0] != '#') accounts.push_back(account);
    }
    return accounts;
}

std::vector<size_t> ChooseAlbums(const std::vector<TPList>& albums, const TGetOptions& options) {
    if (options.Matches.empty()) return SelectAlbums(albums, options.Albums);
    std::vector<size_t> chosen;
    if (!options.Albums.empty()) chosen = SelectAlbums(albums, options.Albums);
    for (size_t i = 0; i < albums.size(); ++i) {
        const std::string name = GbkToUtf8(TextTrim(albums[i].Name));
        const bool matched = std::any_of(options.Matches.begin(), options.Matches.end(),
                                         [&](const std::string& glob) { return GlobMatch(glob, name); });
        if (matched && std::find(chosen.begin(), chosen.end(), i) == chosen.end()) chosen.push_back(i);
    }
    return chosen;
}

void AppendRun(TRunResult& total, TRunResult&& part) {
    const size_t albumBase = total.Albums.size(), pictureBase = total.Pictures.size();
    std::map<std::string, size_t> byPath; // the final names planned so far
    for (size_t k = 0; k < total.Pictures.size(); ++k)
        if (!total.Pictures[k].Path.empty() && total.Pictures[k].Outcome == TOutcome::Pending)
            byPath[total.Pictures[k].Path] = k;
    for (TAlbumJob& album : part.Albums) {
        for (size_t& k : album.Pictures)
            k += pictureBase;
        total.Albums.push_back(std::move(album));
    }
    for (TPictureJob& job : part.Pictures) {
        job.Album += albumBase;
        auto earlier = byPath.find(job.Path);
        if (earlier != byPath.end() && job.Outcome == TOutcome::Pending) {
            total.Pictures[earlier->second].Outcome = TOutcome::Skipped;
            total.Pictures[earlier->second].Message = "the same file as a later picture";
        }
        total.Pictures.push_back(std::move(job));
    }
    // Temporary names come from the final names alone (a picture of the same
    // file as a later one is not fetched at all), so they stay the same from
    // run to run, whichever accounts a run copies, and never meet another's.
    total.Interrupted = total.Interrupted || part.Interrupted;
}
