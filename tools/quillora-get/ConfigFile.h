#pragma once
// quillora-get's configuration file: "name = value" a line, with the long
// option's name; a value is a word, a quoted text or a list ["1", "2"].
// Lines whose first character other than blanks is # or ; are comments.
// A name given twice is a fault; ~/ at the start of a path's value is $HOME.
// Every line is checked as it is read, and a fault names the file and the
// line: a typo never reaches the command line's own messages.

#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <vector>

// Why "--name=value" for every value is no good for the command line
// (empty when it is).
using TOptionCheck =
    std::function<std::string(const std::string& name, const std::vector<std::string>& values)>;

class TConfigFile : public CLI::Config {
  public:
    // path: the file read, for the messages; check: asked of every line.
    TConfigFile(std::string path, TOptionCheck check) : FPath(std::move(path)), FCheck(std::move(check)) {}
    std::string to_config(const CLI::App*, bool, bool, std::string) const override { return {}; }
    // EGetUsage "FILE:LINE: what is wrong" for the first faulty line.
    std::vector<CLI::ConfigItem> from_config(std::istream& input) const override;

  private:
    std::string FPath;
    TOptionCheck FCheck;
};

// The values of one line "name = value" (no comment, not blank); empty with
// problem set when it is not one.
struct TConfigLine {
    std::string Name;
    std::vector<std::string> Values;
    std::string Problem;
};
TConfigLine ParseConfigLine(const std::string& line);

// The configuration file a command line names: the value of --config (as
// "--config FILE" or "--config=FILE"), else fallback.
std::string ConfigFileOf(int argc, char** argv, const std::string& fallback);
