#pragma once
// A fixture for tests that talk to a scripted peer through http_proxy: a
// fresh temporary folder, a 5 s read time-out so a wrong script fails rather
// than hangs, and both undone afterwards.

#include "http/ClientSettings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

template <class Base = ::testing::Test> class TWireScratch : public Base {
  protected:
    explicit TWireScratch(const char* prefix) : FPrefix(prefix) {}
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / (FPrefix + "-XXXXXX")).string();
        Folder = ::mkdtemp(pattern.data());
        SetClientReadTimeout(5000);
    }
    void TearDown() override {
        ::unsetenv("http_proxy");
        SetClientReadTimeout(0);
        std::filesystem::remove_all(Folder);
    }
    std::filesystem::path Folder;

  private:
    std::string FPrefix;
};
