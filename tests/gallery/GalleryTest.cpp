// The offline gallery written from an archive: pages that parse strictly and
// name every album and picture in order, hostile names shown as text,
// thumbnails remade only for changed bytes, hostile rows and links under
// the destination left alone, nothing written outside it.

#include "gallery/Gallery.h"
#include "archive/PictureArchive.h"
#include "archive/Sha256.h"
#include "core/Exceptions.h"
#include "core/Gbk.h"
#include "gallery/GalleryPages.h"
#include "support/GalleryCheck.h"
#include "support/TestScratch.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

std::string ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteWhole(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Asset(const std::string& name) {
    return ReadWhole(fs::path(QUILLORA_SOURCE_DIR) / "tools/sample-service/assets" / name);
}

std::string Sha256Of(const std::string& bytes) {
    TSha256 hash;
    hash.Update(bytes.data(), bytes.size());
    return hash.HexDigest();
}

// Every file under root, with its inode: a file written again gets a new one.
std::map<std::string, ino_t> Inodes(const fs::path& root) {
    std::map<std::string, ino_t> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        struct stat st {};
        if (::lstat(entry.path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
            files[fs::relative(entry.path(), root).string()] = st.st_ino;
    }
    return files;
}

class Gallery : public ::testing::Test {
  protected:
    TTestScratch Scratch{"quillora-gallery-"};
    fs::path Dest = Scratch.Path() / "dest";
    fs::path ArchiveFile = Scratch.Path() / "archive.db";

    // A picture saved as quillora-get saves it: the file, and its row.
    void Save(const std::string& account, const std::string& album, const std::string& folder,
              const std::string& file, const std::string& bytes) {
        WriteWhole(Dest / "Pic" / folder / file, bytes);
        TArchivedPicture row;
        row.Url = "http://imgb.photo.quillora.example/" + account + "/" + folder + "/" + file;
        row.Account = account;
        row.Album = album;
        row.Path = "Pic/" + folder + "/" + file;
        row.Size = static_cast<int64_t>(bytes.size());
        row.Sha256 = Sha256Of(bytes);
        SaveRow(row);
    }
    void SaveRow(const TArchivedPicture& row) {
        TPictureArchive archive(FileNameToGbk(ArchiveFile.string()));
        archive.Save(row);
    }
    TGalleryReport Write() {
        TPictureArchive archive(FileNameToGbk(ArchiveFile.string()), TPictureArchive::TMode::ReadOnly);
        return WriteGallery(archive, Dest.string());
    }
    fs::path GalleryOf(const std::string& folder) const { return Dest / "Pic" / folder / GalleryFolderName; }
};

const char* const Hostile = "<script>alert(\"x\")</script> & 'q' <!--";

} // namespace

TEST_F(Gallery, PagesParseStrictlyAndShowEveryAlbumAndPictureInOrder) {
    for (const auto& [k, asset] :
         std::map<int, std::string>{{10, "photo-04.jpg"}, {2, "photo-05.jpg"}, {1, "photo-06.jpg"}})
        Save("quillora", "旅行", "旅行", "IMG_" + std::to_string(k) + ".jpg", Asset(asset));
    Save("quillora", "风景", "风景", "IMG_0001.png", Asset("photo-01.png"));
    Save("hostile", Hostile, "evil <b>&", "a&b \"c\" #?.jpg", Asset("photo-02.jpg"));
    WriteWhole(Dest / "Pic/旅行/旅行.txt", Gbk("二〇二六年秋天的旅行.\r\n共三张 <i>&amp;"));
    const TGalleryReport report = Write();
    EXPECT_EQ(report.Albums, 3u);
    EXPECT_EQ(report.Pictures, 5u);
    EXPECT_EQ(report.ThumbnailsMade, 5u);
    EXPECT_TRUE(report.Problems.empty()) << report.Problems.front();

    const nlohmann::json gallery = ReadGallery(Dest);
    ASSERT_TRUE(gallery.is_object());
    EXPECT_EQ(gallery["errors"], nlohmann::json::array()) << gallery["errors"].dump(1);
    const nlohmann::json& index = gallery["pages"]["index.html"];
    for (const char* text : {"quillora", "hostile", "旅行", "风景", "3 pictures", "1 picture"})
        EXPECT_TRUE(Contains(index["texts"], text)) << text << " in " << index["texts"].dump();
    EXPECT_TRUE(Contains(index["texts"], Hostile)) << index["texts"].dump();
    // The description's lines, its markup as text.
    EXPECT_TRUE(Contains(index["texts"], "二〇二六年秋天的旅行.")) << index["texts"].dump();
    EXPECT_TRUE(Contains(index["texts"], "共三张 <i>&amp;")) << index["texts"].dump();
    for (const auto& image : index["images"])
        EXPECT_EQ(image["loading"], "lazy");

    const nlohmann::json& travel = gallery["pages"]["Pic/旅行/.quillora-gallery/index.html"];
    ASSERT_TRUE(travel.is_object()) << gallery["pages"].dump();
    std::vector<std::string> order;
    for (const auto& image : travel["images"]) {
        order.push_back(image["alt"]);
        EXPECT_EQ(image["loading"], "lazy");
    }
    EXPECT_EQ(order, (std::vector<std::string>{"IMG_1.jpg", "IMG_2.jpg", "IMG_10.jpg"}));
    const nlohmann::json& evil = gallery["pages"]["Pic/evil <b>&/.quillora-gallery/index.html"];
    ASSERT_TRUE(evil.is_object()) << gallery["pages"].dump();
    EXPECT_TRUE(Contains(evil["texts"], Hostile));
    EXPECT_EQ(evil["images"][0]["alt"], "a&b \"c\" #?.jpg");
    // Thumbnails are small PNG files of at most 200 pixels a side.
    for (const auto& [path, inode] : Inodes(GalleryOf("旅行"))) {
        if (path == "index.html") continue;
        const std::string png = ReadWhole(GalleryOf("旅行") / path);
        ASSERT_GT(png.size(), 24u);
        EXPECT_EQ(png.substr(1, 3), "PNG");
        const auto be32 = [&](size_t at) {
            return (uint32_t(uint8_t(png[at])) << 24) | (uint32_t(uint8_t(png[at + 1])) << 16) |
                   (uint32_t(uint8_t(png[at + 2])) << 8) | uint8_t(png[at + 3]);
        };
        EXPECT_EQ(std::max(be32(16), be32(20)), 200u) << path;
        EXPECT_LT(png.size(), 200u * 200 * 3) << path;
    }
}

TEST_F(Gallery, ASecondRunRemakesOnlyTheThumbnailOfTheChangedPicture) {
    for (int k = 1; k <= 4; ++k)
        Save("quillora", "旅行", "旅行", "IMG_000" + std::to_string(k) + ".jpg",
             Asset("photo-0" + std::to_string(k) + ".jpg"));
    ASSERT_EQ(Write().ThumbnailsMade, 4u);
    const std::map<std::string, ino_t> before = Inodes(GalleryOf("旅行"));
    ASSERT_EQ(before.size(), 5u); // four thumbnails and the page

    Save("quillora", "旅行", "旅行", "IMG_0003.jpg", Asset("photo-05.jpg"));
    WriteWhole(GalleryOf("旅行") / ".quillora-gallery-00000000000000ff.tmp", "left by a crash");
    const TGalleryReport second = Write();
    EXPECT_EQ(second.ThumbnailsMade, 1u);
    EXPECT_EQ(second.ThumbnailsKept, 3u);
    const std::map<std::string, ino_t> after = Inodes(GalleryOf("旅行"));
    EXPECT_EQ(after.size(), 5u); // the old bytes' thumbnail went
    const std::string changed = ThumbnailName(Sha256Of(Asset("photo-05.jpg")));
    EXPECT_TRUE(after.count(changed));
    EXPECT_FALSE(after.count(ThumbnailName(Sha256Of(Asset("photo-03.jpg")))));
    for (const auto& [name, inode] : after) {
        if (name != changed && name != "index.html") {
            EXPECT_EQ(before.at(name), inode) << name << " was made again";
        }
    }
}

// Rows no run of the program writes: they are left out, and nothing beside
// or above the destination is touched.
TEST_F(Gallery, HostileRowsAreLeftOutAndNothingOutsideIsWritten) {
    Save("quillora", "好", "好", "IMG_0001.jpg", Asset("photo-01.jpg"));
    WriteWhole(Scratch.Path() / "outside/secret.jpg", Asset("photo-02.jpg"));
    const std::string sha = Sha256Of(Asset("photo-02.jpg"));
    const std::vector<std::string> paths = {"../outside/secret.jpg",
                                            "/etc/passwd",
                                            "Pic/../outside/secret.jpg",
                                            "Pic/好/../../../outside/secret.jpg",
                                            "Pic/a/b/c.jpg",
                                            "Pic/好/.hidden.jpg",
                                            "Pic/.quillora-gallery/x.jpg",
                                            "Pic//x.jpg",
                                            "Pic/好/",
                                            "Other/好/IMG_0001.jpg",
                                            "Pic/" + std::string(5000, 'a') + "/x.jpg"};
    for (size_t k = 0; k < paths.size(); ++k)
        SaveRow({"http://x/" + std::to_string(k), "evil", "evil", paths[k], 1, sha, "", "", ""});
    SaveRow({"http://x/bad-sha", "evil", "好", "Pic/好/IMG_0002.jpg", 1, "../../../../outside/secret", "", "",
             ""});
    const auto outside = Inodes(Scratch.Path() / "outside");
    const TGalleryReport report = Write();
    EXPECT_EQ(report.LeftOut, paths.size());
    EXPECT_EQ(Inodes(Scratch.Path() / "outside"), outside);
    std::set<std::string> top;
    for (const auto& entry : fs::directory_iterator(Scratch.Path()))
        if (entry.path().filename().string().rfind("archive.db", 0) != 0) // the archive's own journal files
            top.insert(entry.path().filename().string());
    EXPECT_EQ(top, (std::set<std::string>{"dest", "outside"}));
    const nlohmann::json gallery = ReadGallery(Dest);
    EXPECT_EQ(gallery["errors"], nlohmann::json::array()) << gallery["errors"].dump(1);
}

// A link, a FIFO or a folder planted under the destination is never
// followed, read or written through; the gallery still ends, and says why.
TEST_F(Gallery, LinksAndOddFilesUnderTheDestinationAreNotFollowed) {
    Save("quillora", "好", "好", "IMG_0001.jpg", Asset("photo-01.jpg"));
    Save("quillora", "好", "好", "IMG_0002.jpg", Asset("photo-02.jpg"));
    Save("quillora", "好", "好", "IMG_0003.jpg", Asset("photo-03.jpg"));
    Save("quillora", "连", "连", "IMG_0001.jpg", Asset("photo-04.jpg"));
    Save("quillora", "占", "占", "IMG_0001.jpg", Asset("photo-05.jpg"));
    const fs::path outside = Scratch.Path() / "outside";
    WriteWhole(outside / "IMG_0001.jpg", Asset("photo-04.jpg"));
    fs::remove(Dest / "Pic/好/IMG_0001.jpg");
    fs::create_symlink(outside / "IMG_0001.jpg", Dest / "Pic/好/IMG_0001.jpg");
    fs::remove(Dest / "Pic/好/IMG_0002.jpg");
    ASSERT_EQ(::mkfifo((Dest / "Pic/好/IMG_0002.jpg").c_str(), 0644), 0);
    fs::remove_all(Dest / "Pic/连");
    fs::create_directory_symlink(outside, Dest / "Pic/连");
    WriteWhole(Dest / "Pic/占" / GalleryFolderName, "a file where the gallery's folder goes");
    const auto before = Inodes(outside);

    const TGalleryReport report = Write();
    EXPECT_EQ(report.ThumbnailsMade, 1u); // 好/IMG_0003.jpg alone
    EXPECT_EQ(report.Problems.size(), 4u);
    EXPECT_EQ(Inodes(outside), before);
    EXPECT_FALSE(fs::exists(outside / GalleryFolderName));
    EXPECT_EQ(ReadWhole(Dest / "Pic/占" / GalleryFolderName), "a file where the gallery's folder goes");
    const nlohmann::json gallery = ReadGallery(Dest);
    EXPECT_EQ(gallery["errors"], nlohmann::json::array()) << gallery["errors"].dump(1);
}

// Pictures that are not what their names say get no thumbnail: the page
// names them instead, and the report says why (a kind no reader takes is
// only named).
TEST_F(Gallery, UndecodablePicturesAreNamedInsteadOfShown) {
    const std::string jpeg = Asset("photo-01.jpg");
    const struct {
        const char* File;
        std::string Bytes;
    } cases[] = {
        {"cut.jpg", jpeg.substr(0, jpeg.size() / 3)},
        {"header.jpg", jpeg.substr(0, 20)},
        {"empty.png", ""},
        {"text.png", "not a picture at all"},
        {"jpeg-named.png", Asset("photo-02.jpg")},
        {"notes.txt", "a text file"},
        {"good.jpg", jpeg},
    };
    for (const auto& c : cases)
        Save("quillora", "坏", "坏", c.File, c.Bytes);
    const TGalleryReport report = Write();
    EXPECT_LE(report.ThumbnailsMade, 2u); // good.jpg, and cut.jpg if the reader keeps what it got
    EXPECT_GE(report.ThumbnailsMade, 1u);
    EXPECT_GE(report.Problems.size(), 4u);
    for (const std::string& problem : report.Problems)
        EXPECT_EQ(problem.find("notes.txt"), std::string::npos) << "a kind without a reader is no problem";

    const nlohmann::json gallery = ReadGallery(Dest);
    EXPECT_EQ(gallery["errors"], nlohmann::json::array()) << gallery["errors"].dump(1);
    const nlohmann::json& page = gallery["pages"]["Pic/坏/.quillora-gallery/index.html"];
    EXPECT_EQ(page["links"].size(), std::size(cases) + 1); // every picture, and the way back
    EXPECT_TRUE(Contains(page["texts"], "notes.txt"));
}

TEST_F(Gallery, AnEmptyArchiveGivesAnIndexThatSaysSo) {
    SaveRow({"http://x/old", "", "", "", 10, "", "", "", ""}); // a row taken over from a text archive
    fs::create_directories(Dest);
    const TGalleryReport report = Write();
    EXPECT_EQ(report.Albums, 0u);
    const nlohmann::json gallery = ReadGallery(Dest);
    EXPECT_EQ(gallery["errors"], nlohmann::json::array()) << gallery["errors"].dump(1);
    EXPECT_TRUE(Contains(gallery["pages"]["index.html"]["texts"], "The archive records no picture yet."));
}

TEST_F(Gallery, AMissingDestinationIsAClearError) {
    Save("quillora", "好", "好", "IMG_0001.jpg", Asset("photo-01.jpg"));
    fs::remove_all(Dest);
    EXPECT_THROW(Write(), EFOpenError);
}
