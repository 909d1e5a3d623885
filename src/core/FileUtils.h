#pragma once
// Paths beside the program, folders, cached-file search and byte-exact file
// writes. Paths are texts of the program's code page; "/" separates folders.

#include <string>

class TMemoryStream;
class TStringList;

// The folder of the running program, ending with "/".
std::string ProgramFolder();
void MakeFolder(const std::string& path);
bool MakeFolders(const std::string& path);
void FindFiles(const std::string& folder, const std::string& pattern, TStringList& list);
void RemoveFile(const std::string& path);
void SaveBytesToFile(TMemoryStream& buffer, const std::string& path);
void SaveTextToFile(const std::string& text, const std::string& path);

// A name the service chose that may stand as one entry of a folder: not ".",
// "..", no "/" and no NUL once it is a file name on disk (empty only when
// allowed), so that nothing lands outside the folder it is joined to.
bool IsPlainFileName(const std::string& name, bool allowEmpty = false);
// Raises EFCreateError for path, as a name the file system rejects would.
[[noreturn]] void RaiseCannotCreate(const std::string& path);

// The path made absolute against the working folder.
std::string ExpandFileName(const std::string& path);
// The system's text for an error number, as the error messages quote it.
std::string SystemErrorText(int errorNumber);
