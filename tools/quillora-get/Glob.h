#pragma once
// Shell-style patterns on album names (--match), by characters rather than
// bytes, so that "?" stands for one Chinese character as it does for a
// letter: * any text, ? one character, [abc] [a-z] one of them, [!abc] none
// of them, \x the character x itself. Texts and patterns are UTF-8.

#include <string>

bool GlobMatch(const std::string& pattern, const std::string& text);
