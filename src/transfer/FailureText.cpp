#include "transfer/FailureText.h"

#include "net/IdException.h"

std::string OneLineMessage(const Exception& e) {
    const std::string& text = e.Message();
    // Only a socket error's text (raised as such, or by the timed connect) is
    // wholly the program's; any other may quote a server's bytes, whose line
    // breaks must stay visible.
    if (!dynamic_cast<const EIdSocketError*>(&e) && !dynamic_cast<const EIdConnectException*>(&e))
        return text;
    std::string line;
    for (size_t k = 0; k < text.size(); ++k) {
        const bool lineBreak = text.compare(k, 2, "\r\n") == 0;
        line += lineBreak ? ' ' : text[k];
        k += lineBreak ? 1 : 0;
    }
    return line;
}
