#include "ConfigFile.h"

#include "DownloadRun.h"
#include "core/TextUtils.h"

#include <algorithm>
#include <cstdlib>
#include <istream>
#include <iterator>
#include <map>
#include <string>

namespace {

// A configuration is a few short lines. A file past these limits (a log, a
// device that never ends) is refused as a whole: read to its end it could
// take any memory and time, and cut it would hide whatever lies beyond.
constexpr size_t MaxConfigLines = 10000;
constexpr size_t MaxConfigLineBytes = 65536;

// The next line without its end; false at the end of the input. One longer
// than MaxConfigLineBytes is read no further and says so in tooLong.
bool ReadBoundedLine(std::istream& input, std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    std::streambuf* buffer = input.rdbuf();
    if (buffer == nullptr) return false;
    for (;;) {
        const int c = buffer->sbumpc();
        if (c == std::char_traits<char>::eof()) return !line.empty();
        if (c == '\n') return true;
        if (line.size() == MaxConfigLineBytes) {
            tooLong = true;
            return true;
        }
        line += static_cast<char>(c);
    }
}

bool IsNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// What may follow a value: blanks, then nothing or a comment.
bool OnlyCommentLeft(const std::string& rest) {
    const std::string text = TextTrim(rest);
    return text.empty() || text[0] == '#';
}

// A quoted text at the start of text; its length taken (quotes included) in
// used; false when it is not closed. Within "...", \" and \\ stand for " and \.
bool TakeQuoted(const std::string& text, std::string& value, size_t& used) {
    const char quote = text[0];
    value.clear();
    for (size_t k = 1; k < text.size(); ++k) {
        if (quote == '"' && text[k] == '\\' && k + 1 < text.size() &&
            (text[k + 1] == '"' || text[k + 1] == '\\')) {
            value += text[++k];
            continue;
        }
        if (text[k] == quote) {
            used = k + 1;
            return true;
        }
        value += text[k];
    }
    return false;
}

// One element of a list or a whole value: quoted, or a word up to a blank,
// a comma, a closing bracket or a comment.
std::string TakeValue(const std::string& text, size_t& used, std::string& problem) {
    std::string value;
    if (text[0] == '"' || text[0] == '\'') {
        if (!TakeQuoted(text, value, used)) problem = "the quotes are not closed";
        return value;
    }
    used = 0;
    while (used < text.size() && text[used] != ',' && text[used] != ']' && text[used] != '#' &&
           text[used] != ' ' && text[used] != '\t')
        ++used;
    return text.substr(0, used);
}

std::vector<std::string> TakeList(std::string text, std::string& problem) {
    std::vector<std::string> values;
    text = TextTrim(text.substr(1));
    while (problem.empty()) {
        if (!text.empty() && text[0] == ']' && values.empty()) {
            problem = "the list is empty";
            break;
        }
        if (text.empty()) {
            problem = "the list has no closing ]";
            break;
        }
        size_t used = 0;
        values.push_back(TakeValue(text, used, problem));
        text = TextTrim(text.substr(used));
        if (text.empty() && problem.empty()) problem = "the list has no closing ]";
        if (!text.empty() && text[0] == ',') {
            text = TextTrim(text.substr(1));
            continue;
        }
        if (!text.empty() && text[0] == ']') {
            if (!OnlyCommentLeft(text.substr(1))) problem = "something follows the list";
            break;
        }
        if (problem.empty()) problem = "the list's values are not separated by commas";
    }
    return values;
}

// The options whose value is a path: a leading ~/ there is the home folder,
// as the shell would have made it on the command line.
bool IsPathOption(const std::string& name) {
    static const char* const paths[] = {"dest", "archive", "json", "input-file", "cacert"};
    return std::any_of(std::begin(paths), std::end(paths), [&](const char* path) { return name == path; });
}

// The value with ~ or ~/ at its start made the home folder; problem set when
// there is no home to make it.
std::string HomeExpanded(const std::string& value, std::string& problem) {
    if (value != "~" && value.rfind("~/", 0) != 0) return value;
    const char* home = std::getenv("HOME");
    if (!home || *home != '/') {
        problem = "\"" + value + "\" starts with ~ but HOME is not set to a folder";
        return value;
    }
    return std::string(home) + value.substr(1);
}

} // namespace

TConfigLine ParseConfigLine(const std::string& line) {
    TConfigLine parsed;
    const size_t equals = line.find('=');
    if (TextTrim(line)[0] == '[') {
        parsed.Problem = "sections are not used; write name = value";
        return parsed;
    }
    if (equals == std::string::npos) {
        parsed.Problem = "not \"name = value\"";
        return parsed;
    }
    parsed.Name = TextTrim(line.substr(0, equals));
    if (parsed.Name.empty() || !std::all_of(parsed.Name.begin(), parsed.Name.end(), IsNameCharacter)) {
        parsed.Problem = "\"" + parsed.Name + "\" is no option's name";
        return parsed;
    }
    const std::string value = TextTrim(line.substr(equals + 1));
    if (value.empty() || value[0] == '#') {
        parsed.Problem = "no value after =";
    } else if (value[0] == '[') {
        parsed.Values = TakeList(value, parsed.Problem);
    } else {
        size_t used = 0;
        parsed.Values.push_back(TakeValue(value, used, parsed.Problem));
        if (parsed.Problem.empty() && !OnlyCommentLeft(value.substr(used)))
            parsed.Problem = "more than one value; a list is written [\"a\", \"b\"]";
    }
    return parsed;
}

std::vector<CLI::ConfigItem> TConfigFile::from_config(std::istream& input) const {
    std::vector<CLI::ConfigItem> items;
    std::map<std::string, size_t> given; // name -> its line
    std::string line;
    bool tooLong = false;
    for (size_t number = 1; ReadBoundedLine(input, line, tooLong); ++number) {
        const std::string where = FPath + ":" + std::to_string(number) + ": ";
        if (number > MaxConfigLines)
            throw EGetUsage(where + "more than " + std::to_string(MaxConfigLines) +
                            " lines; a configuration file this long is refused, not read in part");
        if (tooLong)
            throw EGetUsage(where + "the line is longer than " + std::to_string(MaxConfigLineBytes) +
                            " bytes");
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string text = TextTrim(line);
        if (text.empty() || text[0] == '#' || text[0] == ';') continue;
        TConfigLine parsed = ParseConfigLine(text);
        std::string problem = parsed.Problem;
        // The second of two lines would silently lose to the first.
        if (problem.empty() && given.count(parsed.Name) != 0)
            problem = "\"" + parsed.Name + "\" is given twice, first at " + FPath + ":" +
                      std::to_string(given[parsed.Name]);
        if (problem.empty() && IsPathOption(parsed.Name))
            for (std::string& value : parsed.Values)
                value = HomeExpanded(value, problem);
        if (problem.empty()) problem = FCheck(parsed.Name, parsed.Values);
        given.emplace(parsed.Name, number);
        if (!problem.empty()) throw EGetUsage(where + problem);
        CLI::ConfigItem item;
        item.name = parsed.Name;
        item.inputs = parsed.Values;
        items.push_back(std::move(item));
    }
    return items;
}

std::string ConfigFileOf(int argc, char** argv, const std::string& fallback) {
    std::string file = fallback;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (arg == "--") break;
        if (arg == "--config" && k + 1 < argc)
            file = argv[++k];
        else if (arg.rfind("--config=", 0) == 0)
            file = arg.substr(9);
    }
    return file;
}
