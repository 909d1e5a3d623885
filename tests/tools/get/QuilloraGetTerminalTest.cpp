// quillora-get on a terminal: a pseudo-terminal of a given width (a private
// tmux server), whose screen is read as the user sees it.

#include "GetHarness.h"
#include "TermText.h"

#include <regex>
#include <set>

namespace {

std::string Quote(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    while (!lines.empty() && lines.back().find_first_not_of(' ') == std::string::npos)
        lines.pop_back();
    return lines;
}

// One tmux server of its own (its socket in the scratch folder), one pane
// of columns x rows running quillora-get in folder; the exit status goes to
// a file, and the pane stays so that its last screen can be read.
class TTerminal {
  public:
    TTerminal(const fs::path& folder, int columns, int rows, const TServer& server,
              const std::vector<std::string>& args, const std::string& env = "")
        : FFolder(folder), FSocket((folder / "tmux.sock").string()) {
        // The shell outlives a Ctrl-C (a handler, not ignored: the program gets the default).
        std::string command =
            "trap : INT; cd " + Quote(folder.string()) + " && env -u http_proxy -u HTTP_PROXY " + env + " " +
            Quote(std::string(QUILLORA_BIN_DIR) + "/quillora-get") + " --proxy " + server.Proxy();
        for (const std::string& a : args)
            command += " " + Quote(a);
        command += "; echo $? > exit.txt; sleep 300";
        Tmux("-f /dev/null new-session -d -x " + std::to_string(columns) + " -y " + std::to_string(rows) +
             " " + Quote("TERM=xterm-256color exec sh -c " + Quote(command)));
    }
    ~TTerminal() { Tmux("kill-server"); }

    // The screen, wrapped lines joined (a line wider than the pane shows as one).
    std::string Screen(bool escapes = false) {
        const fs::path out = FFolder / "screen.txt";
        Tmux(std::string("capture-pane -p -J ") + (escapes ? "-e " : "") + "> " + Quote(out.string()));
        return ReadWhole(out);
    }
    void Resize(int columns, int rows) {
        Tmux("resize-window -x " + std::to_string(columns) + " -y " + std::to_string(rows));
    }
    void Keys(const std::string& keys) { Tmux("send-keys " + keys); }
    // The exit status once the program ended, or -1.
    int Status() {
        const std::string text = ReadWhole(FFolder / "exit.txt");
        return text.empty() ? -1 : std::stoi(text);
    }

  private:
    void Tmux(const std::string& args) {
        const std::string command = "tmux -S " + Quote(FSocket) + " " + args + " 2>/dev/null";
        [[maybe_unused]] const int status = std::system(command.c_str());
    }
    fs::path FFolder;
    std::string FSocket;
};

const std::regex TotalLine(R"(^\d+/\d+ )");

struct TWatch {
    int Screens = 0;
    int LiveScreens = 0; // screens with live lines and the total line, read while the program ran
    std::string Wide;    // a line wider than the terminal, when one was seen
    int MostTotals = 0;  // most total lines seen on one screen
    std::string LastScreen;

    // Every screen must have lines within the width and at most one total line.
    void Look(const std::string& screen, size_t columns, bool running) {
        LastScreen = screen;
        ++Screens;
        int totals = 0, live = 0;
        for (const std::string& line : SplitLines(screen)) {
            if (TextColumns(line) > columns && Wide.empty()) Wide = line;
            if (std::regex_search(line, TotalLine)) ++totals;
            if (line.rfind("  ", 0) == 0) ++live;
        }
        MostTotals = std::max(MostTotals, totals);
        if (running && totals > 0 && live > 0) ++LiveScreens;
    }
};

// Reads the screen until the program ends.
TWatch WatchUntilEnd(TTerminal& terminal, size_t columns, TWatch watch = {}) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < end) {
        const bool ended = terminal.Status() >= 0;
        watch.Look(terminal.Screen(), columns, !ended);
        if (ended) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return watch;
}

// Reads the screen, while the service holds every picture after its first
// piece, until it shows live lines and the total line; then lets the
// pictures go on.
TWatch WatchWhileHeld(TTerminal& terminal, size_t columns, const fs::path& hold) {
    TWatch watch;
    WaitUntil(
        [&] {
            watch.Look(terminal.Screen(), columns, terminal.Status() < 0);
            return watch.LiveScreens > 0;
        },
        std::chrono::seconds(60));
    fs::remove(hold);
    return watch;
}

fs::path MadeHoldFile(const fs::path& folder) {
    WriteWhole(folder / "hold", "");
    return folder / "hold";
}

// The service at rate, its picture bodies stopped after their first piece
// until the test removes Hold.
struct THeldService {
    THeldService(const fs::path& folder, const char* rate)
        : Hold(MadeHoldFile(folder)), Server(folder, {"--rate", rate, "--hold-file", Hold.string()}) {}
    fs::path Hold;
    TServer Server;
};

class QuilloraGetTerminal : public ::testing::TestWithParam<int> {};

// Long Chinese album names, a slow service, 80 and 40 columns: every line
// fits, the live lines never smear, and the last screen shows each picture
// once and the closing line once.
TEST_P(QuilloraGetTerminal, LinesFitTheWidthAndNeverSmear) {
    const int columns = GetParam();
    TScratch scratch;
    THeldService held(scratch.Path(), "60000");
    TServer& server = held.Server;
    ASSERT_GT(server.Port(), 0);
    TTerminal terminal(scratch.Path(), columns, 24, server, {"--dest", "out", "-j", "3", "longnames"});
    const TWatch watch = WatchUntilEnd(terminal, static_cast<size_t>(columns),
                                       WatchWhileHeld(terminal, static_cast<size_t>(columns), held.Hold));
    ASSERT_EQ(terminal.Status(), 0) << watch.LastScreen;
    EXPECT_GT(watch.LiveScreens, 0) << watch.LastScreen;
    EXPECT_TRUE(watch.Wide.empty()) << "wider than " << columns << " columns: " << watch.Wide;
    EXPECT_LE(watch.MostTotals, 1);
    std::multiset<std::string> saved;
    int totals = 0, closing = 0;
    for (const std::string& line : SplitLines(watch.LastScreen)) {
        if (line.rfind("saved   ", 0) == 0) saved.insert(line);
        if (std::regex_search(line, TotalLine)) ++totals;
        if (line.rfind("8 of 8 pictures saved; ", 0) == 0) ++closing;
        EXPECT_NE(line.rfind("  ", 0), 0u) << "a live line was left: " << line;
    }
    EXPECT_EQ(saved.size(), 8u) << watch.LastScreen;
    EXPECT_EQ(std::set<std::string>(saved.begin(), saved.end()).size(), 8u) << watch.LastScreen;
    // The live total line gives way to the closing line.
    EXPECT_EQ(totals, 0) << watch.LastScreen;
    EXPECT_EQ(closing, 1) << watch.LastScreen;
    // A long name gives way in its middle; the picture's own name stays.
    EXPECT_TRUE(std::any_of(saved.begin(), saved.end(), [](const std::string& line) {
        return line.find("\xe2\x80\xa6") != std::string::npos &&
               line.find("/IMG_0001.jpg (") != std::string::npos;
    })) << watch.LastScreen;
}

// The terminal made narrower while the lines are live: they are redrawn to
// the new width, and no stale live line or total line is left behind: the
// closing line stands in their place.
TEST(QuilloraGetTerminalModes, NarrowerTerminalLeavesNoStaleLines) {
    TScratch scratch;
    THeldService held(scratch.Path(), "40000");
    TServer& server = held.Server;
    ASSERT_GT(server.Port(), 0);
    TTerminal terminal(scratch.Path(), 100, 20, server, {"--dest", "out", "-j", "3", "longnames"});
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const std::string& line : SplitLines(terminal.Screen()))
                if (line.rfind("  ", 0) == 0 && TextColumns(line) > 60) return true;
            return false;
        },
        std::chrono::seconds(60)));
    terminal.Resize(40, 20);
    fs::remove(held.Hold);
    const TWatch watch = WatchUntilEnd(terminal, 100);
    ASSERT_EQ(terminal.Status(), 0);
    // tmux keeps in its history whatever is cleared from the top left, so only the screen tells.
    int totals = 0, closing = 0;
    for (const std::string& line : SplitLines(watch.LastScreen)) {
        EXPECT_NE(line.rfind("  ", 0), 0u) << "a stale live line: " << line;
        EXPECT_LE(TextColumns(line), 40u) << line;
        if (std::regex_search(line, TotalLine)) ++totals;
        if (line.rfind("8 of 8 pictures saved", 0) == 0) ++closing;
    }
    EXPECT_EQ(totals, 0) << watch.LastScreen;
    EXPECT_EQ(closing, 1) << watch.LastScreen;
    EXPECT_NE(watch.LastScreen.find("saved   短/IMG_0002.jpg"), std::string::npos) << watch.LastScreen;
}

// The closing line on a terminal counts the failure too, and gives up its
// bytes and times, never its counts, where the terminal is narrow. The
// failure's own line (standard error) is not erased by the live lines of
// standard output.
TEST(QuilloraGetTerminalModes, ClosingLineCountsFailuresAtAnyWidth) {
    struct TCase {
        int Columns;
        std::string Closing;
        bool Whole;
    } cases[] = {{80, "7 of 8 pictures saved, 1 failed; 400.8 KB, ", false},
                 {40, "7 of 8 pictures saved, 1 failed", true}};
    for (const TCase& c : cases) {
        TScratch scratch;
        TServer server(scratch.Path(), {});
        ASSERT_GT(server.Port(), 0);
        TTerminal terminal(scratch.Path(), c.Columns, 24, server, {"--dest", "out", "faults"});
        ASSERT_TRUE(WaitUntil([&] { return terminal.Status() >= 0; }, std::chrono::seconds(30)));
        EXPECT_EQ(terminal.Status(), 1);
        const std::vector<std::string> lines = SplitLines(terminal.Screen());
        ASSERT_FALSE(lines.empty());
        if (c.Whole) {
            EXPECT_EQ(lines.back(), c.Closing);
        } else {
            EXPECT_EQ(lines.back().rfind(c.Closing, 0), 0u) << lines.back();
        }
        // The failure stays on the screen, and no live line is left over it.
        int failures = 0;
        for (const std::string& line : lines) {
            if (line.rfind("quillora-get: account faults: album 缺图: picture ", 0) == 0) {
                ++failures;
                continue;
            }
            EXPECT_LE(TextColumns(line), static_cast<size_t>(c.Columns)) << line;
            EXPECT_NE(line.rfind("  ", 0), 0u) << "a stale live line: " << line;
            EXPECT_FALSE(std::regex_search(line, TotalLine)) << "a stale total line: " << line;
        }
        EXPECT_EQ(failures, 1) << terminal.Screen();
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, QuilloraGetTerminal, ::testing::Values(80, 40),
                         [](const auto& info) { return std::to_string(info.param) + "Columns"; });

// Colour on a terminal, none with NO_COLOR, and plain lines with TERM=dumb.
TEST(QuilloraGetTerminalModes, ColourAndDumbTerminals) {
    struct TCase {
        const char* Env;
        bool Colour, Live;
    } cases[] = {{"", true, true}, {"NO_COLOR=1", false, true}, {"TERM=dumb", false, false}};
    for (const TCase& c : cases) {
        TScratch scratch;
        TServer server(scratch.Path(), {"--rate", "200000"});
        ASSERT_GT(server.Port(), 0);
        TTerminal terminal(scratch.Path(), 80, 24, server, {"--dest", "out", "--album", "2", "quillora"},
                           c.Env);
        bool sawLive = false;
        ASSERT_TRUE(WaitUntil(
            [&] {
                for (const std::string& line : SplitLines(terminal.Screen()))
                    if (line.rfind("  ", 0) == 0) sawLive = true;
                return terminal.Status() >= 0;
            },
            std::chrono::seconds(30)))
            << c.Env;
        EXPECT_EQ(terminal.Status(), 0) << c.Env;
        const std::string painted = terminal.Screen(true);
        EXPECT_EQ(painted.find("\x1b[32m") != std::string::npos, c.Colour) << c.Env << "\n" << painted;
        EXPECT_EQ(sawLive, c.Live) << c.Env;
    }
}

// Ctrl-C on a terminal: one closing line with what was saved and how to go
// on, exit status 130; the pictures cut off are not counted, and the next
// run finishes them.
TEST(QuilloraGetTerminalModes, CtrlCClosingLineThenResume) {
    TScratch scratch;
    TServer server(scratch.Path(), {"--rate", "150000", "--validators"});
    ASSERT_GT(server.Port(), 0);
    const fs::path album = scratch.Path() / "out/Pic/旅行";
    auto partStarted = [&] {
        if (fs::exists(album))
            for (const auto& e : fs::directory_iterator(album))
                if (e.path().extension() == ".part" && fs::file_size(e.path()) > 0) return true;
        return false;
    };
    auto finalFiles = [&] {
        int n = 0;
        if (fs::exists(album))
            for (const auto& e : fs::directory_iterator(album))
                if (e.path().extension() == ".jpg") ++n;
        return n;
    };
    {
        TTerminal terminal(scratch.Path(), 80, 24, server, {"--dest", "out", "--album", "1", "quillora"});
        ASSERT_TRUE(WaitUntil([&] { return finalFiles() >= 2 && partStarted(); }, std::chrono::seconds(30)));
        terminal.Keys("C-c");
        ASSERT_TRUE(WaitUntil([&] { return terminal.Status() >= 0; }, std::chrono::seconds(20)));
        EXPECT_EQ(terminal.Status(), 130);
        const std::vector<std::string> lines = SplitLines(terminal.Screen());
        ASSERT_FALSE(lines.empty());
        const std::string last = lines.back();
        const std::string expected = "Stopped: " + std::to_string(finalFiles()) + " of 25 pictures saved, " +
                                     std::to_string(25 - finalFiles()) +
                                     " not done. Run the same command again to continue.";
        EXPECT_EQ(last, expected);
        for (const std::string& line : lines)
            EXPECT_FALSE(std::regex_search(line, TotalLine)) << "a total line after the stop: " << line;
    }
    ASSERT_LT(finalFiles(), 25);
    size_t started = 0; // parts with bytes in them: each is continued with a Range request
    for (const auto& e : fs::directory_iterator(album))
        if (e.path().extension() == ".part" && fs::file_size(e.path()) > 0) ++started;
    server.ForgetRequests();
    TGetRun resumed = RunGet(scratch.Path(), server, {"--dest", "out", "--album", "1", "quillora"});
    EXPECT_EQ(resumed.Status, 0) << resumed.Err;
    EXPECT_EQ(finalFiles(), 25);
    size_t ranged = 0;
    for (const std::string& line : server.Requests())
        if (line.find("bytes=") != std::string::npos) ++ranged;
    EXPECT_EQ(ranged, started);
}

} // namespace

// --verify on a terminal: its progress line gives way to each problem line
// and to the summary, so that the last screen holds those lines alone.
TEST(QuilloraGetTerminalModes, VerifyLinesStandAloneOnATerminal) {
    TScratch scratch;
    TServer server(scratch.Path(), {});
    ASSERT_GT(server.Port(), 0);
    ASSERT_EQ(RunGet(scratch.Path(), server, {"--dest", "out", "--archive", "a.db", "--album", "风景", "quillora"})
                  .Status,
              0);
    const fs::path folder = scratch.Path() / "out/Pic/风景";
    std::string bytes = ReadWhole(folder / "IMG_0002.jpg");
    bytes[100] ^= 1;
    WriteWhole(folder / "IMG_0002.jpg", bytes);
    fs::remove(folder / "IMG_0005.jpg");
    TTerminal terminal(scratch.Path(), 100, 24, server, {"--dest", "out", "--archive", "a.db", "--verify"});
    ASSERT_TRUE(WaitUntil([&] { return terminal.Status() >= 0; }, std::chrono::seconds(30)));
    EXPECT_EQ(terminal.Status(), 1);
    const std::vector<std::string> lines = SplitLines(terminal.Screen());
    ASSERT_EQ(lines.size(), 3u) << terminal.Screen();
    EXPECT_EQ(lines[0], "changed Pic/风景/IMG_0002.jpg");
    EXPECT_EQ(lines[1], "missing Pic/风景/IMG_0005.jpg");
    EXPECT_EQ(lines[2].rfind("verified 11 pictures (", 0), 0u) << lines[2];
    EXPECT_NE(lines[2].find("9 whole, 1 missing, 1 changed, 0 unreadable"), std::string::npos) << lines[2];
}
