// The real window against the sample service, fetching ahead (the default)
// and one file after another (QUILLORA_CONNECTIONS=0): the log (without its
// times), the boxes, the tiles and every file written must be the same.
#include "E2ESupport.h"

#include "catalogue/AlbumList.h"

#include <QRegularExpression>
#include <map>

namespace {

std::unique_ptr<TChildProcess> Service;

struct TWindowSeen {
    QStringList Log;
    std::vector<std::string> Boxes;
    size_t Tiles = 0;
    std::map<std::string, std::string> Files;
    bool operator==(const TWindowSeen&) const = default;
};

// connections none: the default number.
TWindowSeen LookUpAndDownload(const std::string& account, const char* connections) {
    if (connections)
        ::setenv("QUILLORA_CONNECTIONS", connections, 1);
    else
        ::unsetenv("QUILLORA_CONNECTIONS");
    TWindowSession s;
    TBoxCloser boxes;
    s.Lookup(QString::fromUtf8(account.c_str()));
    s.Form->btn2->click();
    TWindowSeen seen;
    static const QRegularExpression time("^[^:]*\\d:\\d\\d:\\d\\d[^:]*: ");
    for (QString line : s.Log())
        seen.Log.push_back(line.remove(time));
    seen.Boxes = boxes.Texts();
    seen.Tiles = AlbumTiles.size();
    for (const auto& e : fs::recursive_directory_iterator(s.Program))
        if (e.is_regular_file()) seen.Files[fs::relative(e.path(), s.Program).string()] = ReadFile(e.path());
    ::unsetenv("QUILLORA_CONNECTIONS");
    return seen;
}

class EngineWindow : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        static int port = StartSampleService(Service, 3);
        ASSERT_NE(port, 0);
        ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(port)).c_str(), 1);
        ::unsetenv("no_proxy");
        ::unsetenv("NO_PROXY");
        SetClientReadTimeout(1500);
    }
    void TearDown() override { SetClientReadTimeout(0); }
};

} // namespace

TEST_P(EngineWindow, AheadAndOneByOneShowTheSame) {
    const TWindowSeen oneByOne = LookUpAndDownload(GetParam(), "0");
    const TWindowSeen ahead = LookUpAndDownload(GetParam(), nullptr);
    EXPECT_EQ(ahead.Log, oneByOne.Log);
    EXPECT_EQ(ahead.Boxes, oneByOne.Boxes);
    EXPECT_EQ(ahead.Tiles, oneByOne.Tiles);
    EXPECT_EQ(ahead.Files.size(), oneByOne.Files.size());
    EXPECT_TRUE(ahead.Files == oneByOne.Files) << "files differ";
    for (const auto& [path, bytes] : ahead.Files)
        EXPECT_EQ(path.find(".quillora"), std::string::npos) << path;
}

INSTANTIATE_TEST_SUITE_P(SampleAccounts, EngineWindow,
                         ::testing::Values("quillora", "faults", "cutoff", "hostile", "badname", "empty",
                                           "stall", "many100"));
