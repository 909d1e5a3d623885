#pragma once
// Texts of the archive on their way into the gallery's pages. Every name and
// description comes from the service through the archive and may hold
// anything: it is shown as text, never as markup, whatever its bytes.

#include <string>
#include <string_view>

// UTF-8 text as HTML text or attribute value: & < > " ' as references, a
// byte sequence that is no UTF-8 and every control character (apart from
// tab and line feed) as U+FFFD, so that the page stays well formed.
std::string HtmlText(std::string_view utf8);
// The same, with each line end as <br>: a description keeps its lines.
std::string HtmlLines(std::string_view utf8);
// A relative path as a URL path: every byte other than an unreserved
// character or "/" percent-escaped, so that a name with "?", "#", ":" or a
// blank is still the file it names, from file:// and from a web server.
std::string UrlPath(std::string_view path);
