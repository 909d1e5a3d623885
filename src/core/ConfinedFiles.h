#pragma once
// Files below the one folder the program was told to fill (quillora-get's
// --dest, the window's Pic folder) are reached without following a symbolic
// link in any component below that folder: a link planted in the tree (a
// crafted archive row, an unpacked album, another user of a shared folder)
// never sends a write or a read outside it. The folder itself, and every
// path outside it, is reached as the system reaches it.
//
// Paths are texts of the program's code page. Each call answers as the
// system call it stands for: -1 with errno on failure; below the folder a
// link in the way is ELOOP, and a path that would lead out of it EXDEV.

#include <string>
#include <sys/stat.h>
#include <sys/types.h>

// folder: none when empty. Set before the files are touched (it is read by every worker).
void SetConfinedFolder(const std::string& folder);
std::string ConfinedFolder();
// True for a path strictly below the confined folder (the folder itself is not).
bool IsBelowConfinedFolder(const std::string& path);

// open(2).
int OpenConfined(const std::string& path, int flags, mode_t mode = 0);
// stat(2) (followLink) or lstat(2); below the folder never through a link,
// and a link at the end is answered as the link.
int StatConfined(const std::string& path, struct stat& st, bool followLink);
// rename(2), unlink(2), mkdir(2).
int RenameConfined(const std::string& from, const std::string& to);
int UnlinkConfined(const std::string& path);
int MakeFolderConfined(const std::string& path, mode_t mode);

// The text for error when it concerns path: for a link refused below the
// folder a sentence that says so, else the system's text.
std::string ConfinedErrorText(const std::string& path, int error);

// Resolution by openat2(2) where the kernel has it, else a walk that opens
// one component at a time with O_NOFOLLOW; false forces the walk (for tests).
void UseOpenat2(bool use);
