// SPDX-License-Identifier: GPL-2.0-only
// What the unit tests and the tests of whole programs both need: a folder of
// their own, and how long a wait may take.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include <stdlib.h>

namespace testing_support {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// How long a wait may take before the test calls it a hang. It is no measure of
// speed: every wait is for a state that must come, and on a loaded machine with
// kernels booting beside the tests a process may take seconds to start. A
// mutation test, which makes programs hang on purpose, sets it lower with
// DRUMMET_TEST_PATIENCE_S.
inline std::chrono::milliseconds patience() {
    static const std::chrono::milliseconds chosen = [] {
        const char *seconds = std::getenv("DRUMMET_TEST_PATIENCE_S");
        const long value = seconds != nullptr ? std::strtol(seconds, nullptr, 10) : 0;
        return std::chrono::milliseconds(value > 0 ? value * 1000 : 120 * 1000);
    }();
    return chosen;
}

// Waits until `ready` holds (true) or `limit` has passed (false).
inline bool eventually(const std::function<bool()> &ready,
                       std::chrono::milliseconds limit = patience()) {
    const auto deadline = Clock::now() + limit;
    while (!ready()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A fresh folder, removed with its content.
class TempDir {
  public:
    // Under `parent`, by default the system's temporary folder.
    explicit TempDir(const std::filesystem::path &parent = std::filesystem::temp_directory_path()) {
        std::string pattern = (parent / "drummet-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    [[nodiscard]] const std::filesystem::path &path() const { return path_; }
    [[nodiscard]] std::filesystem::path operator/(std::string_view name) const {
        return path_ / name;
    }

  private:
    std::filesystem::path path_;
};

} // namespace testing_support
