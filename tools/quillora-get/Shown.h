#pragma once
// Texts from the server (names, addresses, reason phrases) as the terminal
// and the report show them: control characters would move the cursor,
// rewrite earlier lines or hide text, so they are written out as \xNN.

#include <string>

// The GBK text in UTF-8, every control character (C0, DEL, C1) escaped.
std::string Shown(const std::string& gbk);
// Whether a name from the server holds a control character (C0 or DEL).
bool HasControlCharacter(const std::string& text);
