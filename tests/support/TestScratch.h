#pragma once
// A scratch folder for the running test, named after it and this process
// (so parallel runs never share one), emptied first and removed afterwards.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

class TTestScratch {
  public:
    // prefix: the folder's name under the temporary folder starts with it.
    explicit TTestScratch(const std::string& prefix) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "-" + info->name();
        for (char& c : name)
            if (c == '/') c = '-';
        FPath = std::filesystem::temp_directory_path() / (prefix + std::to_string(::getpid()) + "-" + name);
        std::filesystem::remove_all(FPath);
        std::filesystem::create_directories(FPath);
    }
    ~TTestScratch() {
        std::error_code ignored;
        std::filesystem::remove_all(FPath, ignored);
    }
    TTestScratch(const TTestScratch&) = delete;
    TTestScratch& operator=(const TTestScratch&) = delete;
    const std::filesystem::path& Path() const { return FPath; }

  private:
    std::filesystem::path FPath;
};
