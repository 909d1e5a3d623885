// quillora-get's pieces that decide without a server: terminal columns,
// album patterns, rates, and the plan of several accounts.

#include "AccountRun.h"
#include "DownloadRun.h"
#include "GetHarness.h"
#include "Glob.h"
#include "TermText.h"
#include "core/Gbk.h"
#include "core/TextUtils.h"
#include "transfer/PartFile.h"
#include "transfer/RatePacer.h"

TEST(GetTermText, ColumnsOfCharacters) {
    struct TCase {
        char32_t Char;
        int Columns;
    } cases[] = {
        {U'a', 1},   {U' ', 1},   {U'\t', 0},  {0x7F, 0},    {0x9B, 0},     {0xE9, 1},
        {0x0301, 0}, {0x200B, 0}, {0xFE0F, 0}, {0x2026, 1},  {0x3000, 2},   {0x4E2D, 2},
        {0x9FFF, 2}, {0xAC00, 2}, {0xFF01, 2}, {0xFF61, 1},  {0x1F600, 2},  {0x20000, 2},
        {0x3042, 2}, {0x1100, 2}, {0x2E80, 2}, {0xE0100, 0}, {0x10FFFF, 1}, {0x0410, 1},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(CharColumns(c.Char), c.Columns) << std::hex << static_cast<uint32_t>(c.Char);
}

// The widths come from the Unicode data of the build machine: a table of
// what a terminal shows, old and new characters of every kind.
TEST(GetTermText, ColumnsFromTheUnicodeData) {
    struct TCase {
        char32_t Char;
        int Columns;
    } cases[] = {
        {U'A', 1},    {U'~', 1},    {0x00B7, 1},  {0x0391, 1},  {0x2500, 1},  {0x2460, 1}, // ASCII, ambiguous
        {0x4E00, 2},  {0x9FA5, 2},  {0x3400, 2},  {0x2A700, 2}, {0x2FFFD, 2}, {0x3FFFD, 2}, // CJK
        {0x3000, 2},  {0xFF21, 2},  {0xFFE5, 2},  {0xFF5F, 2},  {0xFF76, 1},  {0x303F, 1},  // full/half width
        {0x0301, 0},  {0x0BCD, 0},  {0x1AB0, 0},  {0x20D0, 0},  {0x3099, 0},  {0x302A, 0},  // combining
        {0x200B, 0},  {0x200D, 0},  {0x2060, 0},  {0x2066, 0},  {0xFEFF, 0},  {0xE0001, 0}, // zero width
        {0xAC00, 2},  {0x1100, 2},  {0x1160, 0},  {0x11A8, 0},  {0xD7B0, 0},  {0xD7A3, 2},  // Hangul
        {0x1F600, 2}, {0x1F9D1, 2}, {0x1FAF8, 2}, {0x231A, 2},  {0x2764, 1},  {0x1F1E6, 1}, // emoji
        {0xE000, 1},  {0xFFFD, 1},  {0x4DC0, 1},  {0xA4D0, 1},  {0xFE10, 2},  {0xFE31, 2},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(CharColumns(c.Char), c.Columns) << std::hex << static_cast<uint32_t>(c.Char);
}

// Every double-byte character of the service's code page takes the columns it
// took with the hand-kept table this one replaced: 21448 wide, 2492 narrow.
TEST(GetTermText, GbkCharactersKeepTheirColumns) {
    size_t count[3] = {0, 0, 0}, characters = 0;
    for (int lead = 0x81; lead <= 0xFE; ++lead)
        for (int trail = 0x40; trail <= 0xFE; ++trail) {
            if (trail == 0x7F) continue;
            const std::string utf8 =
                GbkToUtf8(std::string{static_cast<char>(lead), static_cast<char>(trail)});
            char32_t code = 0;
            if (DecodeUtf8At(utf8, 0, code) != utf8.size()) continue; // not one character
            ++characters;
            ++count[CharColumns(code)];
        }
    EXPECT_EQ(characters, 23940u);
    EXPECT_EQ(count[0], 0u);
    EXPECT_EQ(count[1], 2492u);
    EXPECT_EQ(count[2], 21448u);
}

TEST(GetTermText, ColumnsOfTexts) {
    struct TCase {
        const char* Text;
        size_t Columns;
    } cases[] = {
        {"", 0},
        {"IMG_0001.jpg", 12},
        {"旅行", 4},
        {"家人 与 朋友", 12},
        {"Cafe\xcc\x81", 4}, // a combining accent takes no column
        {"\xff\xfe", 2},     // bytes that are no UTF-8: one each, shown as "?"
        {"a\x1b[31mb", 7},   // a control character is shown as "?"
        {"ｶﾀｶﾅ", 4},         // half-width forms
    };
    for (const TCase& c : cases)
        EXPECT_EQ(TextColumns(c.Text), c.Columns) << c.Text;
}

TEST(GetTermText, FitShortensInTheMiddleByColumns) {
    struct TCase {
        const char* Text;
        size_t Width;
        const char* Fitted;
    } cases[] = {
        {"IMG_0001.jpg", 12, "IMG_0001.jpg"},
        {"IMG_0001.jpg", 11, "IMG_0…1.jpg"},
        {"IMG_0001.jpg", 1, "…"},
        {"IMG_0001.jpg", 0, ""},
        {"二〇二六年秋天的旅行", 9, "二〇…旅行"},          // 4 + 1 + 4
        {"二〇二六年秋天的旅行", 8, "二〇…行"},            // a wide character is never half shown
        {"Cafe\xcc\x81 Cafe\xcc\x81", 5, "Ca…fe\xcc\x81"}, // the accent stays with its letter
        {"a\x07"
         "b",
         3, "a?b"},
    };
    for (const TCase& c : cases) {
        const std::string fitted = FitMiddle(c.Text, c.Width);
        EXPECT_EQ(fitted, c.Fitted) << c.Text << " in " << c.Width;
        EXPECT_LE(TextColumns(fitted), c.Width) << c.Text;
    }
    EXPECT_EQ(FitEnd("二〇二六年", 6), "二〇…");
    EXPECT_EQ(FitEnd("二〇二六年", 10), "二〇二六年");
    EXPECT_EQ(PadTo("旅行", 6), "旅行  ");
}

TEST(GetGlob, MatchesByCharacters) {
    struct TCase {
        const char* Pattern;
        const char* Name;
        bool Match;
    } cases[] = {
        {"*", "旅行", true},
        {"旅*", "旅行", true},
        {"*行", "旅行", true},
        {"?行", "旅行", true},
        {"??", "旅行", true},
        {"?", "旅行", false},
        {"???", "旅行", false},
        {"旅", "旅行", false},
        {"[旅风]*", "风景", true},
        {"[!旅]*", "风景", true},
        {"[!风]*", "风景", false},
        {"IMG_[0-9]*", "IMG_7", true},
        {"IMG_[0-9]*", "IMG_x", false},
        {"*2026*", "旅行 2026 秋", true},
        {"a*b*c", "a-b-x-c", true},
        {"a*b*c", "a-c-b", false},
        {"\\*", "*", true},
        {"\\*", "a", false},
        {"[", "[", true},
        {"家人 与 朋友", "家人 与 朋友", true},
        {"", "", true},
        {"", "a", false},
        {"*", "", true},
        {"**?", "x", true},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(GlobMatch(c.Pattern, c.Name), c.Match) << c.Pattern << " ~ " << c.Name;
}

// --album by index (as --list counts, from 1) or else by name; an index
// out of range is looked for as a name, and digits are digits alone.
TEST(GetAlbums, SelectedByIndexOrName) {
    ClearAlbumList(); // the window's list plays no part
    std::vector<TPList> albums(4);
    albums[0].Name = "Travel";
    albums[1].Name = "2024";
    albums[2].Name = Gbk("家人");
    albums[3].Name = Gbk("家人");
    struct TCase {
        std::vector<std::string> Wanted;
        std::vector<size_t> Chosen; // empty: refused
    } cases[] = {
        {{}, {0, 1, 2, 3}},
        {{"1"}, {0}},
        {{"4"}, {3}},
        {{"01"}, {0}},
        {{"000000004"}, {3}},
        {{"2"}, {1}},            // the index wins over a name
        {{"2024"}, {1}},         // no such index: the name
        {{Gbk("家人")}, {2, 3}}, // every album of a name
        {{"1", "Travel", "1"}, {0}},
        {{"3", "1"}, {2, 0}},
        {{"0"}, {}},
        {{"5"}, {}},
        {{"0000000004"}, {}}, // ten digits: a name, and there is none
        {{"999999999"}, {}},
        {{"+1"}, {}},
        {{"-1"}, {}},
        {{"1 "}, {}},
        {{""}, {}},
    };
    for (const TCase& c : cases) {
        const std::string shown = c.Wanted.empty() ? "(none)" : c.Wanted.front();
        try {
            EXPECT_EQ(SelectAlbums(albums, c.Wanted), c.Chosen) << shown;
        } catch (const EGetUsage& e) {
            EXPECT_TRUE(c.Chosen.empty()) << shown << ": " << e.Message();
            EXPECT_EQ(e.Message(), "No album \"" + c.Wanted.back() + "\" (see --list)") << shown;
        }
    }
    TGetOptions options;
    options.Matches = {"家*"};
    EXPECT_EQ(ChooseAlbums(albums, options), (std::vector<size_t>{2, 3}));
    options.Albums = {"2"};
    EXPECT_EQ(ChooseAlbums(albums, options), (std::vector<size_t>{1, 2, 3}));
}

namespace {

TRunResult Plan(const std::string& account, const std::vector<std::string>& paths) {
    TRunResult run;
    TAlbumJob& album = run.Albums.emplace_back();
    album.Account = account;
    for (const std::string& path : paths) {
        album.Pictures.push_back(run.Pictures.size());
        TPictureJob& job = run.Pictures.emplace_back();
        job.Url = "http://img/" + account + "/" + path;
        job.Path = path;
        job.PartPath = PartPathFor(path);
    }
    return run;
}

} // namespace

// Two accounts with an album of one name: the later account's picture is
// fetched, the earlier one's is not (no two workers on one file), and a part
// never takes a final name.
TEST(GetAccountRun, LaterAccountWinsASharedFile) {
    TRunResult total;
    AppendRun(total, Plan("a", {"/d/Pic/x/1.jpg", "/d/Pic/x/2.jpg"}));
    AppendRun(total, Plan("b", {"/d/Pic/x/2.jpg", "/d/Pic/x/1.jpg.part", "/d/Pic/y/3.jpg"}));
    ASSERT_EQ(total.Pictures.size(), 5u);
    ASSERT_EQ(total.Albums.size(), 2u);
    EXPECT_EQ(total.Albums[1].Pictures, (std::vector<size_t>{2, 3, 4}));
    for (size_t k : total.Albums[1].Pictures)
        EXPECT_EQ(total.Pictures[k].Album, 1u);
    EXPECT_EQ(total.Pictures[0].Outcome, TOutcome::Pending);
    EXPECT_EQ(total.Pictures[1].Outcome, TOutcome::Skipped);
    EXPECT_EQ(total.Pictures[1].Message, "the same file as a later picture");
    EXPECT_EQ(total.Pictures[2].Outcome, TOutcome::Pending);
    // A temporary name depends on the final name alone: the same in every run.
    EXPECT_EQ(total.Pictures[0].PartPath, PartPathFor("/d/Pic/x/1.jpg"));
    std::set<std::string> names;
    for (const TPictureJob& job : total.Pictures)
        if (job.Outcome == TOutcome::Pending) {
            EXPECT_TRUE(names.insert(job.Path).second) << job.Path;
            EXPECT_TRUE(names.insert(job.PartPath).second) << job.PartPath;
        }
}

// The schema the reports are checked against finds what is wrong with one.
TEST(GetReportSchema, TellsValidFromBrokenReports) {
    TScratch scratch;
    const nlohmann::json picture = {{"url", "http://img/a.jpg"}, {"path", "/d/Pic/x/a.jpg"}, {"bytes", 10},
                                    {"outcome", "saved"},        {"seconds", 0.5},           {"attempts", 1}};
    const nlohmann::json totals = {{"saved", 1},           {"skipped", 0},       {"failed", 0},
                                   {"interrupted", 0},     {"pictures", 1},      {"bytes_saved", 10},
                                   {"albums", 1},          {"albums_failed", 0}, {"accounts", 1},
                                   {"accounts_failed", 0}, {"seconds", 1.0}};
    const nlohmann::json valid = {
        {"account", "a"},
        {"accounts", {{{"name", "a"}, {"albums", 1}}}},
        {"interrupted", false},
        {"albums",
         {{{"account", "a"}, {"index", 1}, {"name", "x"}, {"folder", "/d/Pic/x/"}, {"pictures", {picture}}}}},
        {"totals", totals}};
    struct TCase {
        const char* Pointer;
        nlohmann::json Value; // null: remove the member
        bool Valid;
    } cases[] = {
        {"", nullptr, true},
        {"/totals", nullptr, false},
        {"/albums/0/pictures/0/outcome", "done", false},
        {"/albums/0/pictures/0/bytes", -1, false},
        {"/albums/0/index", 0, false},
        {"/albums/0/pictures/0/resumed", false, false},
        {"/albums/0/pictures/0/resumed", true, true},
        {"/accounts/0/error", "HTTP/1.1 404 Not Found", true},
        {"/interrupted", "no", false},
    };
    for (const TCase& c : cases) {
        nlohmann::json report = valid;
        if (*c.Pointer) {
            const nlohmann::json::json_pointer at(c.Pointer);
            if (c.Value.is_null())
                report[at.parent_pointer()].erase(at.back());
            else
                report[at] = c.Value;
        }
        WriteWhole(scratch.Path() / "report.json", report.dump());
        EXPECT_EQ(SchemaViolations(scratch.Path() / "report.json").empty(), c.Valid) << c.Pointer;
    }
}
