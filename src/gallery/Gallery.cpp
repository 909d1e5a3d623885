#include "gallery/Gallery.h"

#include "archive/PictureArchive.h"
#include "core/Exceptions.h"
#include "core/Gbk.h"
#include "gallery/GalleryFolder.h"
#include "gallery/GalleryModel.h"
#include "gallery/GalleryPages.h"
#include "gallery/Thumbnail.h"

#include <optional>
#include <set>

namespace {

// The largest picture file a thumbnail is made of, and the longest
// description shown: far beyond what the service serves, well within memory.
constexpr int64_t MaxPictureBytes = int64_t{64} << 20;
constexpr int64_t MaxDescriptionBytes = int64_t{64} << 10;

std::string ExtensionOf(const std::string& file) {
    const size_t dot = file.rfind('.');
    return dot == std::string::npos ? std::string() : file.substr(dot + 1);
}

bool IsThumbnailName(const std::string& name) {
    return name.size() == 68 && name.compare(64, 4, ".png") == 0 &&
           name.find_first_not_of("0123456789abcdef") == 64;
}

bool IsTemporaryName(const std::string& name) {
    return name.rfind(".quillora-gallery-", 0) == 0 && name.size() > 4 &&
           name.compare(name.size() - 4, 4, ".tmp") == 0;
}

class TGalleryWriter {
  public:
    TGalleryWriter(const std::string& dest, TGalleryReport& report)
        : FRoot(TGalleryFolder::OpenRoot(dest)), FReport(report) {}

    void Write(const TGalleryModel& model) {
        std::optional<TGalleryFolder> pic = FRoot.Sub("Pic");
        std::vector<TAlbumExtras> extras(model.Albums.size());
        for (size_t k = 0; k < model.Albums.size(); ++k)
            extras[k] = WriteAlbum(pic ? &*pic : nullptr, model.Albums[k]);
        FRoot.WriteFile("index.html", IndexPage(model, extras));
        FRoot.Sync();
    }

  private:
    void Problem(const std::string& path, const std::string& why) {
        FReport.Problems.push_back(path + ": " + why);
    }

    TAlbumExtras WriteAlbum(const TGalleryFolder* pic, const TGalleryAlbum& album) {
        TAlbumExtras extras;
        extras.HasThumbnail.assign(album.Pictures.size(), false);
        extras.Present.assign(album.Pictures.size(), false);
        FReport.Pictures += album.Pictures.size();
        ++FReport.Albums;
        std::optional<TGalleryFolder> folder = pic ? pic->Sub(album.Folder) : std::nullopt;
        if (!folder) {
            Problem("Pic/" + album.Folder, "no such folder under the destination");
            return extras;
        }
        if (std::optional<std::string> text = folder->ReadFile(album.Folder + ".txt", MaxDescriptionBytes))
            extras.Description = GbkToUtf8(*text);
        try {
            const TGalleryFolder gallery = folder->MakeSub(GalleryFolderName);
            MakeThumbnails(*folder, gallery, album, extras);
            gallery.WriteFile("index.html", AlbumPage(album, extras));
            gallery.Sync();
            extras.HasPage = true;
        } catch (const Exception& e) {
            Problem("Pic/" + album.Folder, e.Message());
        }
        return extras;
    }

    void MakeThumbnails(const TGalleryFolder& folder, const TGalleryFolder& gallery,
                        const TGalleryAlbum& album, TAlbumExtras& extras) {
        std::set<std::string> wanted;
        for (size_t k = 0; k < album.Pictures.size(); ++k) {
            const TGalleryPicture& picture = album.Pictures[k];
            extras.Present[k] = folder.HasFile(picture.File);
            if (!extras.Present[k]) {
                Problem("Pic/" + album.Folder + "/" + picture.File, "missing, or no plain file");
                continue;
            }
            // A picture of a kind no reader takes (or of unknown bytes) is named, not shown.
            if (picture.Sha256.empty() || !HasThumbnailReader(ExtensionOf(picture.File))) continue;
            const std::string name = ThumbnailName(picture.Sha256);
            wanted.insert(name);
            extras.HasThumbnail[k] = gallery.HasFile(name) || MakeThumbnail(folder, gallery, album, picture);
            if (extras.HasThumbnail[k] && !FMade.count(gallery.Path() + "/" + name)) ++FReport.ThumbnailsKept;
        }
        // Thumbnails of bytes no picture of the album holds any more, and
        // what a gallery cut off by a crash left half written.
        for (const std::string& name : gallery.Names())
            if ((IsThumbnailName(name) && !wanted.count(name)) || IsTemporaryName(name))
                gallery.RemoveFile(name);
    }

    bool MakeThumbnail(const TGalleryFolder& folder, const TGalleryFolder& gallery,
                       const TGalleryAlbum& album, const TGalleryPicture& picture) {
        const std::string path = "Pic/" + album.Folder + "/" + picture.File;
        const std::optional<std::string> bytes = folder.ReadFile(picture.File, MaxPictureBytes);
        if (!bytes) {
            Problem(path, "unreadable, or larger than 64 MB");
            return false;
        }
        try {
            const std::string name = ThumbnailName(picture.Sha256);
            gallery.WriteFile(name, EncodePng(::MakeThumbnail(*bytes, ExtensionOf(picture.File))));
            FMade.insert(gallery.Path() + "/" + name);
            ++FReport.ThumbnailsMade;
            return true;
        } catch (const Exception& e) {
            Problem(path, e.Message());
        } catch (const std::bad_alloc&) {
            Problem(path, "too large to make a thumbnail of");
        }
        return false;
    }

    TGalleryFolder FRoot;
    TGalleryReport& FReport;
    std::set<std::string> FMade; // thumbnails this run wrote
};

} // namespace

TGalleryReport WriteGallery(TPictureArchive& archive, const std::string& dest) {
    TGalleryReport report;
    TGalleryModelBuilder builder;
    archive.ForEach([&](const TArchivedPicture& row) { builder.Add(row); });
    const TGalleryModel model = builder.Finish();
    report.LeftOut = model.LeftOut;
    TGalleryWriter(dest, report).Write(model);
    return report;
}
