// A fixture that gives each test a new, empty directory of its own under the system's temporary
// directory, removed with everything in it afterwards.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

class TemporaryDirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        namespace fs = std::filesystem;
        const fs::path base = fs::temp_directory_path();
        static unsigned counter = 0;
        const auto seed = std::chrono::steady_clock::now().time_since_epoch().count();
        // Created exclusively, so that parallel test programs never share a directory.
        for (int attempt = 0; attempt < 1000 && dir.empty(); ++attempt) {
            const fs::path candidate =
                base / ("zq_files_" + std::to_string(seed) + "_" + std::to_string(++counter));
            if (fs::create_directory(candidate))
                dir = candidate;
        }
        ASSERT_FALSE(dir.empty()) << "no temporary directory under " << base;
    }
    void TearDown() override {
        if (!dir.empty())
            std::filesystem::remove_all(dir);
    }

    // A name in the directory (names below it joined with the platform's own separator).
    std::string At(const std::filesystem::path& name) const { return (dir / name).string(); }

    std::filesystem::path dir;
};

// The names in a directory, sorted: a temporary file left behind shows here.
inline std::vector<std::string> Names(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
