// SPDX-License-Identifier: GPL-2.0-only
// scripts/demo on a terminal, as a newcomer runs it.

#include "support.hpp"

#include <array>
#include <cerrno>
#include <string>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testing_support;

namespace {

// The demo in a session of its own on a fresh terminal, so that Ctrl-C there
// reaches it as it would reach a user's.
class DemoOnATerminal {
  public:
    DemoOnATerminal() {
        int master = -1, slave = -1;
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        terminal_ = Fd{master};
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setsid();
            ::ioctl(slave, TIOCSCTTY, 0);
            for (int fd = 0; fd <= 2; ++fd)
                ::dup2(slave, fd);
            ::close(slave);
            ::close(master);
            ::execl("/bin/bash", "bash", DRUMMET_SOURCE_DIR "/scripts/demo", "--build-dir",
                    DRUMMET_BUILD_DIR, static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ::close(slave);
    }
    ~DemoOnATerminal() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    DemoOnATerminal(const DemoOnATerminal &) = delete;
    DemoOnATerminal &operator=(const DemoOnATerminal &) = delete;

    // Reads the screen until `text` shows (true) or the demo is gone (false).
    bool wait_for(std::string_view text) {
        while (screen_.find(text) == std::string::npos) {
            if (!read_more())
                return false;
        }
        return true;
    }
    void type(std::string_view keys) {
        ASSERT_EQ(::write(terminal_.get(), keys.data(), keys.size()),
                  static_cast<ssize_t>(keys.size()));
    }
    // Reads the screen to its end and reaps the demo; returns its wait status.
    int finish() {
        while (read_more())
            ;
        int status = -1;
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
        return status;
    }
    [[nodiscard]] const std::string &screen() const { return screen_; }

  private:
    bool read_more() {
        pollfd p{terminal_.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(patience).count())) <= 0)
            return false;
        std::array<char, 4096> buf{};
        const ssize_t n = ::read(terminal_.get(), buf.data(), buf.size());
        if (n <= 0) // EIO: nobody has the terminal open any more
            return false;
        screen_.append(buf.data(), static_cast<std::size_t>(n));
        return true;
    }

    Fd terminal_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string screen_;
};

TEST(Demo, ShowsTheStatisticsOfWhatIsTyped) {
    DemoOnATerminal demo;
    ASSERT_TRUE(demo.wait_for("Enter message : ")) << demo.screen();
    demo.type("two words`\n");
    const int status = demo.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << demo.screen();
    EXPECT_NE(demo.screen().find("Stats recieved from client: \r\nbytes: 9\r\n"), std::string::npos)
        << demo.screen();
}

TEST(Demo, CtrlCEndsItQuietly) {
    DemoOnATerminal demo;
    ASSERT_TRUE(demo.wait_for("Enter message : ")) << demo.screen();
    demo.type("half a mess");
    demo.type("\x03");
    const int status = demo.finish();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << demo.screen();
    EXPECT_EQ(demo.screen().find("drummet-client:"), std::string::npos) << demo.screen();
}

} // namespace
