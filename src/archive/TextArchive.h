#pragma once
// The text archive of earlier versions: one line per saved picture, its
// address, a tab and its size. Read once, when a database takes it over.

#include <cstdint>
#include <functional>
#include <istream>
#include <string>

struct TTextArchiveSummary {
    uint64_t Records = 0; // lines that named an address and a size
    uint64_t Lines = 0;   // whole lines seen
    bool HasNul = false;  // a NUL byte: no text at all
};

// Longer lines name no picture; they are passed over without being kept.
constexpr size_t TextArchiveLineLimit = 64 * 1024;

// Calls onRecord for each record, in the file's order (a later record of an
// address wins over an earlier one where it is kept). The rules are the old
// reader's: a last line without its line break may be a record cut short by
// a crash and proves nothing; a "\r" before the break is dropped; the size
// follows the last tab; lines that are no record are passed over. Reading
// stops at the first NUL byte.
TTextArchiveSummary ReadTextArchive(std::istream& in,
                                    const std::function<void(const std::string& url, int64_t size)>& onRecord);
// Whether what was read is a text archive: no NUL byte and at least one
// record (an empty file is taken for a new archive before it is read).
bool IsTextArchive(const TTextArchiveSummary& summary);
