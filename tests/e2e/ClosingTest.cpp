// Closing the window while a command runs: the command stops at its next
// event processing, silently, leaves no half-written file and the program ends.
#include "E2ESupport.h"

#include <algorithm>

namespace {

std::unique_ptr<TChildProcess> Service;

class ClosingDuringCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        static int port = StartSampleService(Service);
        ASSERT_NE(port, 0);
        ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(port)).c_str(), 1);
        ::unsetenv("no_proxy");
        ::unsetenv("NO_PROXY");
        SetClientReadTimeout(0);
    }
};

// Closes the window from inside the command's event processing, the first
// time the condition holds.
class TCloser {
  public:
    TCloser(TfrmMain& form, std::function<bool()> when) : FWhen(std::move(when)) {
        FTimer.setInterval(0);
        QObject::connect(&FTimer, &QTimer::timeout, [this, &form] {
            if (!Closed && FWhen()) {
                Closed = true;
                form.close();
            }
        });
        FTimer.start();
    }
    bool Closed = false;

  private:
    QTimer FTimer;
    std::function<bool()> FWhen;
};

std::vector<std::string> FilesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST_F(ClosingDuringCommands, WhileAThumbnailWarningIsReportedTheLookupStops) {
    TWindowSession s;
    TBoxCloser boxes;
    // A file where the cache folder belongs: every thumbnail fails and warns.
    std::ofstream(s.Program / "tmp") << "not a folder";
    TCloser closer(*s.Form, [&] { return s.LogHas("========警告:下载出错======="); });
    s.Lookup("quillora");
    EXPECT_TRUE(closer.Closed);
    EXPECT_TRUE(boxes.Boxes().empty()) << boxes.Texts().front();
    EXPECT_FALSE(s.Form->isVisible());
    // The tiles went with the window and no further one was made.
    EXPECT_TRUE(AlbumTiles.empty());
    EXPECT_EQ(s.Form->scrlbx->Surface()->findChildren<TImage*>().size(), 1); // the template img1
    EXPECT_FALSE(s.LogHas("像册缩略图下载完成..."));
    EXPECT_FALSE(s.LogHas("像册信息下载完成,可以拉动滚动条了..."));
    EXPECT_EQ(s.Form->btn1->Tag, 0);
}

TEST_F(ClosingDuringCommands, DuringADownloadItStopsAndTheProgramEnds) {
    TWindowSession s;
    TBoxCloser boxes;
    s.Lookup("quillora");
    ASSERT_EQ(AlbumTiles.size(), 4u);
    const fs::path travel = s.Pic("旅行");
    TCloser closer(*s.Form, [&] { return fs::exists(travel / "IMG_0003.jpg"); });
    // The press comes from the real event loop, which the close then ends.
    QTimer::singleShot(0, [&] { s.Form->btn2->click(); });
    QTimer::singleShot(60000, [] { QApplication::exit(3); }); // never hang the run
    EXPECT_EQ(QApplication::exec(), 0);

    EXPECT_TRUE(closer.Closed);
    EXPECT_TRUE(boxes.Boxes().empty()) << boxes.Texts().front();
    EXPECT_FALSE(s.LogHas("所有选中像册下载完成..."));
    EXPECT_EQ(s.Form->btn2->Tag, 0);
    // Every file is whole and under its final name; nothing came after the close.
    const auto names = FilesIn(travel);
    EXPECT_EQ(names, (std::vector<std::string>{"IMG_0001.jpg", "IMG_0002.jpg", "IMG_0003.jpg", "旅行.txt"}));
    for (int k = 1; k <= 3; ++k)
        EXPECT_EQ(ReadFile(travel / ("IMG_000" + std::to_string(k) + ".jpg")),
                  Asset("photo-0" + std::to_string(k) + ".jpg"));
    EXPECT_FALSE(fs::exists(s.Pic("家人 与 朋友")));
    // Pictures fetched ahead of the close are gone with their staging folder.
    EXPECT_EQ(FilesIn(s.Program / "Pic"), (std::vector<std::string>{"旅行"}));
}
