// quillora-get's configuration file: every line read as "name = value" (a
// word, a quoted text or a list), each fault a refusal that names the line.

#include "ConfigFile.h"
#include "FuzzSupport.h"

#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = fuzz::Text(data, size);
    // Every name is taken, so that the values of each line are looked at too.
    const TConfigFile file("config", [](const std::string&, const std::vector<std::string>&) { return ""; });
    std::istringstream input(text);
    fuzz::Refused([&] { file.from_config(input); });
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        ParseConfigLine(text.substr(start, end - start));
        start = end + 1;
    }
    return 0;
}
