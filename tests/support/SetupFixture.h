#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

// A scratch directory and a saved TESSARY_SYSTEM_PATH, both put back after each test.
class SetupFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* value = std::getenv("TESSARY_SYSTEM_PATH")) {
            m_SavedPath = value;
        }
        unsetenv("TESSARY_SYSTEM_PATH");
        char pattern[] = "/tmp/tessary-setup-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        if (m_SavedPath) {
            setenv("TESSARY_SYSTEM_PATH", m_SavedPath->c_str(), 1);
        } else {
            unsetenv("TESSARY_SYSTEM_PATH");
        }
        std::filesystem::remove_all(dir);
    }

    std::string Write(const std::string& name, const std::string& text) const {
        const std::filesystem::path path = dir / name;
        std::ofstream(path) << text;
        return path.string();
    }

    // The directory the setup code must find on its own, with its trailing separator.
    static std::string ExecutableDirectory() {
        return std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/";
    }

    std::filesystem::path dir;

private:
    std::optional<std::string> m_SavedPath;
};
