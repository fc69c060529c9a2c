#pragma once

#include "tests/support/Files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
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
    }
    void TearDown() override {
        if (m_SavedPath) {
            setenv("TESSARY_SYSTEM_PATH", m_SavedPath->c_str(), 1);
        } else {
            unsetenv("TESSARY_SYSTEM_PATH");
        }
    }

    std::string Write(const std::string& name, const std::string& text) const {
        const std::string path = (dir / name).string();
        WriteBytes(path, text);
        return path;
    }

    ScratchDir m_Scratch;
    // The scratch directory.
    const std::filesystem::path dir = m_Scratch.Path();

private:
    std::optional<std::string> m_SavedPath;
};
