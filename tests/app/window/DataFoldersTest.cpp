#include "app/DataFolders.h"
#include "core/FileUtils.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace fs = std::filesystem;

TEST(DataFolders, AnInstallationIsKnownByItsDesktopEntryBesideBin) {
    const fs::path prefix = fs::temp_directory_path() / ("quillora-prefix-" + std::to_string(::getpid()));
    fs::remove_all(prefix);
    fs::create_directories(prefix / "bin");
    const std::string bin = (prefix / "bin").string() + "/";
    EXPECT_FALSE(RunsInstalled(bin));
    fs::create_directories(prefix / "share" / "applications");
    std::ofstream(prefix / "share" / "applications" / DesktopEntryName) << "[Desktop Entry]\n";
    EXPECT_TRUE(RunsInstalled(bin));
    fs::remove_all(prefix);
}

TEST(DataFolders, TheBuildTreeKeepsItsFoldersBesideTheProgramAndTestsTheirOwn) {
    OverrideDataRootForTests("");
    EXPECT_EQ(PictureFolder(), ProgramFolder() + "Pic/");
    EXPECT_EQ(IconCacheFolder(), ProgramFolder() + "tmp/");
    OverrideDataRootForTests("/tmp/own/");
    EXPECT_EQ(PictureFolder(), "/tmp/own/Pic/");
    EXPECT_EQ(IconCacheFolder(), "/tmp/own/tmp/");
    OverrideDataRootForTests("");
}
