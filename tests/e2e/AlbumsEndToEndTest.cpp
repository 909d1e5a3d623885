#include "E2ESupport.h"

#include "catalogue/AlbumList.h"

#include <set>

namespace {

// nginx's folder goes when the test program ends, after nginx itself.
struct TScratchFolder {
    fs::path Path;
    ~TScratchFolder() {
        if (!Path.empty()) fs::remove_all(Path);
    }
} NginxFolder;
std::unique_ptr<TChildProcess> Service, Nginx;
int ServicePort = 0, NginxPort = 0;

void UseProxy(int port) {
    ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(port)).c_str(), 1);
    ::unsetenv("no_proxy");
    ::unsetenv("NO_PROXY");
}

int PortOf(const std::string& server) {
    if (server == "nginx") {
        if (!Nginx) NginxPort = StartNginx(Nginx, NginxFolder.Path);
        return NginxPort;
    }
    if (!Service) ServicePort = StartSampleService(Service);
    return ServicePort;
}

struct TAlbumFiles {
    std::string Folder;
    std::vector<std::pair<std::string, std::string>> Pictures; // file name, asset
};

std::vector<std::pair<std::string, std::string>> Photos(int first, int n, int from = 1,
                                                        const char* ext = "jpg") {
    std::vector<std::pair<std::string, std::string>> out;
    char file[32], asset[32];
    for (int k = 0; k < n; ++k) {
        std::snprintf(file, sizeof file, "IMG_%04d.%s", from + k, ext);
        std::snprintf(asset, sizeof asset, "photo-%02d.%s", (first + k - 1) % 40 + 1, ext);
        out.emplace_back(file, asset);
    }
    return out;
}

class AlbumsEndToEnd : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        int port = PortOf(GetParam());
        ASSERT_NE(port, 0) << "could not start " << GetParam();
        UseProxy(port);
        SetClientReadTimeout(0);
    }
};

} // namespace

TEST_P(AlbumsEndToEnd, LookUpTickAndDownload) {
    TWindowSession s;
    TBoxCloser closer;
    s.Lookup("  quillora  ");
    EXPECT_TRUE(closer.Boxes().empty()) << closer.Texts().front();
    ASSERT_TRUE(s.Log().last().endsWith("像册信息下载完成,可以拉动滚动条了..."));
    EXPECT_TRUE(s.Form->scrlbx->isEnabled());
    EXPECT_TRUE(s.Form->btn2->isEnabled());

    // Four public albums; the private one is left out.
    ASSERT_EQ(AlbumTiles.size(), 4u);
    const char* captions[] = {"旅行(25张)", "家人 与 朋友(8张)", "空像册(0张)", "风景(11张)"};
    const int tops[] = {1, 151, 302, 453};
    for (int i = 0; i < 4; ++i) {
        const TAlbumTile& t = AlbumTiles[i];
        ASSERT_TRUE(t.CheckBox && t.DescLabel && t.IconImage);
        EXPECT_EQ(t.CheckBox->text(), captions[i]);
        EXPECT_TRUE(t.CheckBox->isChecked());
        EXPECT_EQ(t.CheckBox->Tag, i);
        EXPECT_EQ(t.CheckBox->geometry(), QRect(8, tops[i], 159, 17));
        EXPECT_EQ(t.DescLabel->geometry(), QRect(8, tops[i] + 24, 159, 113));
        EXPECT_EQ(t.IconImage->geometry(), QRect(178, tops[i], 140, 137));
        EXPECT_EQ(t.IconImage->Picture().Width(), 140) << "thumbnail " << i;
        EXPECT_TRUE(t.IconImage->Stretch());
    }
    EXPECT_EQ(AlbumTiles[1].DescLabel->text(), "  周末聚会的照片  ");
    EXPECT_TRUE(s.LogHas("共有4个像册,共44张图片!"));
    EXPECT_TRUE(s.LogHas("像册名:家人 与 朋友"));
    EXPECT_TRUE(s.LogHas("从江南到塞北,一路走一路拍.")); // a description spread over log lines
    EXPECT_TRUE(s.LogHas(QString(88, '-')));
    EXPECT_TRUE(fs::exists(s.Program / "tmp" / "a-quillora-01-cover.jpg"));
    if (GetParam() == "sample") {
        QApplication::processEvents();
        s.Form->grab().save(QString::fromStdString((s.Program / "window-after-lookup.png").string()));
    }

    // Untick the last album and download the rest.
    AlbumTiles[3].CheckBox->setChecked(false);
    s.Form->btn2->click();
    EXPECT_TRUE(closer.Boxes().empty()) << closer.Texts().front();
    EXPECT_TRUE(s.LogHas("本次将要下载3个像册,共33张图片!"));
    EXPECT_TRUE(s.LogHas("开始下载像册<旅行>..."));
    EXPECT_TRUE(s.LogHas(QString(57, '-')));
    EXPECT_TRUE(s.Log().last().endsWith("所有选中像册下载完成..."));

    std::vector<TAlbumFiles> albums = {
        {"旅行", Photos(1, 25)}, {"家人 与 朋友", Photos(26, 6)}, {"空像册", {}}};
    albums[1].Pictures.emplace_back("IMG_0007.png", "photo-01.png");
    albums[1].Pictures.emplace_back("IMG_0008.png", "photo-02.png");
    for (const TAlbumFiles& album : albums) {
        fs::path folder = s.Pic(album.Folder);
        EXPECT_TRUE(fs::is_directory(folder)) << album.Folder;
        for (const auto& [file, asset] : album.Pictures)
            EXPECT_EQ(ReadFile(folder / file), Asset(asset)) << album.Folder << "/" << file;
        size_t files = std::distance(fs::directory_iterator(folder), fs::directory_iterator());
        EXPECT_EQ(files, album.Pictures.size() + 1);
    }
    EXPECT_EQ(ReadFile(s.Pic("旅行/旅行.txt")),
              Gbk("二〇二六年秋天的旅行.\r\n从江南到塞北,一路走一路拍.\r\n共二十五张."));
    EXPECT_EQ(ReadFile(s.Pic("家人 与 朋友/家人 与 朋友.txt")), Gbk("  周末聚会的照片  "));
    EXPECT_FALSE(fs::exists(s.Pic("风景")));

    // Bars: the last album of three, which has no pictures.
    EXPECT_EQ(s.Form->sb1->TotalParts(), 2u);
    EXPECT_EQ(s.Form->sb1->PartsComplete(), 2u);
    EXPECT_EQ(s.Form->sb2->PartsComplete(), 0u);
    // The preview holds the last picture saved: a 400 x 300 PNG.
    EXPECT_EQ(s.Form->img2->Picture().Width(), 400);
    EXPECT_EQ(s.Form->img2->Picture().Height(), 300);
}

INSTANTIATE_TEST_SUITE_P(Servers, AlbumsEndToEnd, ::testing::Values("sample", "nginx"));

namespace {

class AlbumsFailures : public ::testing::Test {
  protected:
    void SetUp() override {
        int port = PortOf("sample");
        ASSERT_NE(port, 0);
        UseProxy(port);
        SetClientReadTimeout(0);
    }
};

} // namespace

TEST_F(AlbumsFailures, EmptyNameWarnsAndStillEnablesDownload) {
    TWindowSession s;
    TBoxCloser closer;
    s.Lookup("  \t ");
    ASSERT_EQ(closer.Boxes().size(), 1u);
    EXPECT_EQ(closer.Boxes()[0].Text, "用户名不能为空!");
    EXPECT_EQ(closer.Boxes()[0].Icon, QMessageBox::Warning);
    EXPECT_TRUE(s.Form->btn2->isEnabled());
    EXPECT_FALSE(s.Form->scrlbx->isEnabled());
    EXPECT_EQ(s.Form->btn1->Tag, 0);
}

TEST_F(AlbumsFailures, UnknownAccountShowsTheStatusLine) {
    TWindowSession s;
    TBoxCloser closer;
    s.Lookup("nobody");
    ASSERT_EQ(closer.Boxes().size(), 1u);
    EXPECT_EQ(closer.Boxes()[0].Text, "HTTP/1.1 404 Not Found.");
    EXPECT_EQ(closer.Boxes()[0].Icon, QMessageBox::Critical);
    EXPECT_EQ(closer.Boxes()[0].Caption, "Quillora像册下载器");
    EXPECT_EQ(s.Form->btn1->Tag, 0); // the guard is released after a failure
}

TEST_F(AlbumsFailures, HomePageWithoutTheListAddressIsRefusedBeforeFetching) {
    TWindowSession s;
    TBoxCloser closer;
    s.Lookup("nomarkers");
    ASSERT_EQ(closer.Boxes().size(), 1u);
    EXPECT_EQ(closer.Boxes()[0].Text, "The account's home page names no album list.");
    EXPECT_FALSE(s.Form->scrlbx->isEnabled());
}

TEST_F(AlbumsFailures, BadCountEndsTheLookupAndKeepsWhatWasParsed) {
    TWindowSession s;
    TBoxCloser closer;
    s.Lookup("badcount");
    ASSERT_EQ(closer.Boxes().size(), 1u);
    EXPECT_EQ(closer.Boxes()[0].Text, "'十二' is not a valid integer value.");
    ASSERT_EQ(AlbumList.size(), 2u);
    EXPECT_EQ(AlbumList[1].PicCount, 0);
    EXPECT_TRUE(AlbumTiles.empty());
}

TEST_F(AlbumsFailures, EmptyAccountGivesZeroTotals) {
    TWindowSession s;
    TBoxCloser closer;
    s.Lookup("empty");
    EXPECT_TRUE(closer.Boxes().empty());
    EXPECT_TRUE(s.LogHas("共有0个像册,共0张图片!"));
    EXPECT_TRUE(s.LogHas("像册缩略图下载完成..."));
    EXPECT_TRUE(s.Form->scrlbx->isEnabled());
    EXPECT_TRUE(AlbumTiles.empty());
    s.Form->btn2->click();
    EXPECT_TRUE(s.LogHas("本次将要下载0个像册,共0张图片!"));
    EXPECT_FALSE(fs::exists(s.Program / "Pic"));
}

TEST_F(AlbumsFailures, PictureThatIsMissingEndsTheBatchFilesBeforeStay) {
    TWindowSession s;
    TBoxCloser closer;
    s.Lookup("faults");
    ASSERT_TRUE(closer.Boxes().empty());
    ASSERT_EQ(AlbumTiles.size(), 2u);
    s.Form->btn2->click();
    ASSERT_EQ(closer.Boxes().size(), 1u);
    EXPECT_EQ(closer.Boxes()[0].Text, "HTTP/1.1 404 Not Found.");
    // The first album came in chunks and is whole; the second stopped at its third picture.
    for (const auto& [file, asset] : Photos(1, 3))
        EXPECT_EQ(ReadFile(s.Pic("分块") / file), Asset(asset));
    EXPECT_EQ(ReadFile(s.Pic("缺图/IMG_0001.jpg")), Asset("photo-04.jpg"));
    EXPECT_EQ(ReadFile(s.Pic("缺图/IMG_0002.jpg")), Asset("photo-05.jpg"));
    EXPECT_FALSE(fs::exists(s.Pic("缺图/missing-404.jpg")));
    EXPECT_FALSE(fs::exists(s.Pic("缺图/IMG_0004.jpg")));
    EXPECT_EQ(s.Form->btn2->Tag, 0);
}

TEST_F(AlbumsFailures, StalledServerEndsInReadTimeout) {
    TWindowSession s;
    TBoxCloser closer;
    s.Lookup("stall");
    ASSERT_TRUE(closer.Boxes().empty());
    SetClientReadTimeout(1000);
    s.Form->btn2->click();
    SetClientReadTimeout(0);
    ASSERT_EQ(closer.Boxes().size(), 1u);
    EXPECT_EQ(closer.Boxes()[0].Text, "Read Timeout.");
    EXPECT_TRUE(fs::exists(s.Pic("卡住/IMG_0001.jpg")));
}

TEST_F(AlbumsFailures, HostileNamesNeverWriteOutsidePic) {
    TWindowSession s;
    TBoxCloser closer;
    s.Lookup("hostile");
    ASSERT_TRUE(closer.Boxes().empty());
    ASSERT_EQ(AlbumTiles.size(), 4u);
    // What lies beside the program's folder, and in it apart from tmp and Pic.
    auto listing = [&] {
        std::set<std::string> names;
        const fs::path bin = fs::canonical(s.Program); // stands for the program's folder
        for (const auto& e : fs::directory_iterator(bin.parent_path()))
            names.insert(e.path().string());
        for (const auto& e : fs::directory_iterator(bin))
            if (e.path().filename() != "Pic" && e.path().filename() != "tmp") names.insert(e.path().string());
        return names;
    };
    const auto before = listing();

    // ".." and a name with slashes are refused like names the file system rejects.
    s.Form->btn2->click();
    ASSERT_EQ(closer.Boxes().size(), 1u);
    EXPECT_TRUE(closer.Boxes()[0].Text.startsWith("Cannot create file \"" +
                                                  QString::fromStdString((s.Program / "Pic").string())));
    EXPECT_TRUE(closer.Boxes()[0].Text.endsWith("Invalid argument."));
    AlbumTiles[0].CheckBox->setChecked(false);
    s.Form->btn2->click();
    ASSERT_EQ(closer.Boxes().size(), 2u);
    EXPECT_TRUE(closer.Boxes()[1].Text.endsWith("Invalid argument."));
    // A blank name goes straight into Pic, as ".txt"; a plain one into its folder.
    AlbumTiles[1].CheckBox->setChecked(false);
    s.Form->btn2->click();
    EXPECT_EQ(closer.Boxes().size(), 2u);
    EXPECT_EQ(ReadFile(s.Program / "Pic" / ".txt"), "blank");
    EXPECT_TRUE(fs::exists(s.Program / "Pic" / "IMG_0001.jpg"));
    EXPECT_TRUE(fs::exists(s.Pic("正常/IMG_0001.jpg")));

    EXPECT_EQ(listing(), before);
}

TEST_F(AlbumsFailures, NameThatIsNotGbkStillGetsAFolder) {
    TWindowSession s;
    TBoxCloser closer;
    s.Lookup("badname");
    ASSERT_TRUE(closer.Boxes().empty());
    s.Form->btn2->click();
    ASSERT_TRUE(closer.Boxes().empty()) << closer.Texts().front();
    EXPECT_TRUE(fs::exists(s.Pic("坏%FF名/IMG_0002.jpg")));
}

TEST_F(AlbumsFailures, TilesOfAFailedLookupAreNeverDownloaded) {
    TWindowSession s;
    TBoxCloser closer;
    s.Lookup("quillora");
    ASSERT_EQ(AlbumTiles.size(), 4u);
    s.Lookup("nobody");
    ASSERT_EQ(closer.Boxes().size(), 1u);
    EXPECT_EQ(AlbumTiles.size(), 4u); // still standing
    s.Form->btn2->click();
    EXPECT_TRUE(s.LogHas("本次将要下载0个像册,共0张图片!"));
    EXPECT_FALSE(fs::exists(s.Program / "Pic" / "旅行"));
}

TEST_F(AlbumsFailures, SecondPressesWhileCommandsRunAreRefused) {
    TWindowSession s;
    // The nested presses are dispatched from the commands' own event processing.
    TBoxCloser closer;
    QTimer::singleShot(0, [&] { s.Form->btn1->click(); });
    s.Lookup("quillora");
    ASSERT_EQ(closer.Boxes().size(), 1u);
    EXPECT_EQ(closer.Boxes()[0].Text, "程序运行中...别打扰...");
    ASSERT_TRUE(s.Log().last().endsWith("像册信息下载完成,可以拉动滚动条了..."));

    for (int i = 1; i < 4; ++i)
        AlbumTiles[i].CheckBox->setChecked(false);
    QTimer::singleShot(0, [&] { s.Form->btn2->click(); });
    QTimer::singleShot(0, [&] { s.Form->btn1->click(); });
    s.Form->btn2->click();
    ASSERT_EQ(closer.Boxes().size(), 3u);
    EXPECT_EQ(closer.Boxes()[1].Text, "下载中...勿扰...");
    EXPECT_EQ(closer.Boxes()[2].Text, "下载中...勿扰...");
    EXPECT_TRUE(s.Log().last().endsWith("所有选中像册下载完成..."));
    EXPECT_EQ(ReadFile(s.Pic("旅行/IMG_0025.jpg")), Asset("photo-25.jpg"));
}

TEST_F(AlbumsFailures, SelectAllTicksEveryTileOnce) {
    TWindowSession s;
    TBoxCloser closer;
    s.Form->chk2->setChecked(false);
    s.Lookup("quillora");
    ASSERT_EQ(AlbumTiles.size(), 4u);
    for (const auto& t : AlbumTiles)
        EXPECT_TRUE(t.CheckBox->isChecked()); // new tiles are ticked regardless
    s.Form->chk2->click();                    // ticks it
    s.Form->chk2->click();                    // unticks every tile
    for (const auto& t : AlbumTiles)
        EXPECT_FALSE(t.CheckBox->isChecked());
    EXPECT_FALSE(s.Form->chk1->isChecked());
    s.Form->chk2->click();
    for (const auto& t : AlbumTiles)
        EXPECT_TRUE(t.CheckBox->isChecked());
}
