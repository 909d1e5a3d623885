#include "GalleryRun.h"

#include "Shown.h"
#include "archive/PictureArchive.h"
#include "core/Gbk.h"
#include "gallery/Gallery.h"
#include "transfer/FailureText.h"

#include <cstdio>

namespace {

// An archive of thousands of broken rows says so in a few lines, not thousands.
constexpr size_t ProblemsShown = 20;

void SayProblems(const TGalleryReport& report) {
    const std::vector<std::string>& problems = report.Problems;
    for (size_t k = 0; k < problems.size() && k < ProblemsShown; ++k)
        std::fprintf(stderr, "quillora-get: gallery: %s\n", Shown(FileNameToGbk(problems[k])).c_str());
    if (problems.size() > ProblemsShown)
        std::fprintf(stderr, "quillora-get: gallery: %zu more like these\n", problems.size() - ProblemsShown);
    if (report.LeftOut > 0)
        std::fprintf(stderr,
                     "quillora-get: gallery: %zu archive rows name no picture under Pic/ and are left out\n",
                     report.LeftOut);
}

} // namespace

int WriteGalleryOf(const TGetOptions& options) {
    try {
        TPictureArchive archive(options.ArchiveFile, TPictureArchive::TMode::ReadOnly);
        const TGalleryReport report = WriteGallery(archive, GbkToFileName(options.Dest));
        SayProblems(report);
        // With --json - standard output is the report's alone.
        std::FILE* out = options.JsonFile == "-" ? stderr : stdout;
        if (options.Verbosity > 0)
            std::fprintf(out,
                         "gallery: %sindex.html: %zu albums, %zu pictures; %zu thumbnails made, %zu kept\n",
                         Shown(options.Dest).c_str(), report.Albums, report.Pictures, report.ThumbnailsMade,
                         report.ThumbnailsKept);
        std::fflush(out);
        return 0;
    } catch (const EArchiveError& e) {
        std::fprintf(stderr, "quillora-get: gallery: %s\n", Shown(OneLineMessage(e)).c_str());
    } catch (const Exception& e) {
        // The gallery names files as the disk does (UTF-8).
        std::fprintf(stderr, "quillora-get: gallery: %s\n", Shown(FileNameToGbk(OneLineMessage(e))).c_str());
    }
    return 1;
}
