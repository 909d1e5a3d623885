#pragma once
// A failure as one line of a log or a report. The program's own two-line
// texts (a socket error: its number, then the system's words for it) keep
// their words with their lines joined by a blank; what a server sent is left
// as it came, for the front end to escape.

#include "core/Exceptions.h"

#include <string>

std::string OneLineMessage(const Exception& e);
