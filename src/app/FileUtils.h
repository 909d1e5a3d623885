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

// The path made absolute against the working folder.
std::string ExpandFileName(const std::string& path);
// The system's text for an error number, as the error messages quote it.
std::string SystemErrorText(int errorNumber);
