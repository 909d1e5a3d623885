#include "app/DataFolders.h"

#include "core/FileUtils.h"
#include "core/Gbk.h"

#include <QDir>
#include <QStandardPaths>
#include <sys/stat.h>
#include <unistd.h>

const char* const DesktopEntryName = "io.github.quillora.QuilloraDownLoad.desktop";

namespace {

std::string TestRoot;

const char* const FolderName = "QuilloraDownLoad";

// A standard location as a path of the program's code page, with a fallback
// below the home folder when the platform knows none.
std::string StandardFolder(QStandardPaths::StandardLocation location, const char* fallback) {
    QString path = QStandardPaths::writableLocation(location);
    if (path.isEmpty()) path = QDir::homePath() + "/" + fallback;
    return FileNameToGbk(path.toStdString()) + "/";
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(GbkToFileName(path).c_str(), &st) == 0;
}

bool Writable(const std::string& folder) {
    return ::access(GbkToFileName(folder).c_str(), W_OK) == 0;
}

bool Installed() {
    const std::string program = ProgramFolder();
    return !Writable(program) || RunsInstalled(program);
}

} // namespace

bool RunsInstalled(const std::string& programFolder) {
    return Exists(programFolder + "../share/applications/" + DesktopEntryName);
}

std::string IconCacheFolder() {
    if (!TestRoot.empty()) return TestRoot + "tmp/";
    if (Installed()) return StandardFolder(QStandardPaths::GenericCacheLocation, ".cache") + FolderName + "/";
    return ProgramFolder() + "tmp/";
}

std::string PictureFolder() {
    if (!TestRoot.empty()) return TestRoot + "Pic/";
    if (Installed()) return StandardFolder(QStandardPaths::PicturesLocation, "Pictures") + FolderName + "/";
    return ProgramFolder() + "Pic/";
}

void OverrideDataRootForTests(const std::string& folder) {
    TestRoot = folder;
}
