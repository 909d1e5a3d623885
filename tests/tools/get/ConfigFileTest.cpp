// The configuration file's size limits: a file past them is refused whole,
// with the place it went wrong, never read in part or without end.

#include "ConfigFile.h"
#include "DownloadRun.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>
#include <streambuf>
#include <string>

namespace {

std::vector<CLI::ConfigItem> Read(std::istream& input) {
    const TConfigFile file("config", [](const std::string&, const std::vector<std::string>&) { return ""; });
    return file.from_config(input);
}

std::string Lines(size_t count, const std::string& line) {
    std::string text;
    for (size_t k = 0; k < count; ++k)
        text += line + "\n";
    return text;
}

// Bytes without end and without a line break (a device given as --config).
class TEndless : public std::streambuf {
  protected:
    int_type underflow() override {
        std::fill(std::begin(FBytes), std::end(FBytes), 'x');
        setg(FBytes, FBytes, FBytes + sizeof FBytes);
        return 'x';
    }

  private:
    char FBytes[4096] = {};
};

} // namespace

TEST(ConfigFile, LongFilesAreRefusedNotCut) {
    struct TCase {
        const char* Name;
        std::string Text;
        std::string Failure; // empty: read, with one option
    };
    const std::string full = Lines(9999, "# note") + "jobs = 2\n";
    const TCase cases[] = {
        {"the last line that counts", full, ""},
        {"the last line without its end", Lines(9999, "# note") + "jobs = 2", ""},
        {"a faulty line past the limit",
         full + "bogus = 1\n",
         "config:10001: more than 10000 lines; a configuration file this long is refused, not read in part"},
        {"a comment past the limit", full + "# one more\n",
         "config:10001: more than 10000 lines; a configuration file this long is refused, not read in part"},
        {"a line at the byte limit", "dest = " + std::string(65536 - 7, 'd') + "\n", ""},
        {"a line past the byte limit", "dest = " + std::string(65536 - 6, 'd') + "\n",
         "config:1: the line is longer than 65536 bytes"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::istringstream input(c.Text);
        try {
            const std::vector<CLI::ConfigItem> items = Read(input);
            EXPECT_EQ(c.Failure, "");
            EXPECT_EQ(items.size(), 1u);
        } catch (const EGetUsage& e) {
            EXPECT_EQ(e.Message(), c.Failure);
        }
    }
}

TEST(ConfigFile, EndlessInputEndsAtTheLineLimit) {
    TEndless endless;
    std::istream input(&endless);
    try {
        Read(input);
        ADD_FAILURE() << "read";
    } catch (const EGetUsage& e) {
        EXPECT_EQ(e.Message(), "config:1: the line is longer than 65536 bytes");
    }
}
