// SPDX-License-Identifier: GPL-2.0-only
// scripts/demo on a terminal, as a newcomer runs it.

#include "support.hpp"

#include <string>

#include <gtest/gtest.h>
#include <sys/wait.h>

using namespace testing_support;

namespace {

OnATerminal start_demo() {
    return OnATerminal(
        {"/bin/bash", DRUMMET_SOURCE_DIR "/scripts/demo", "--build-dir", DRUMMET_BUILD_DIR});
}

TEST(Demo, ShowsTheStatisticsOfWhatIsTyped) {
    OnATerminal demo = start_demo();
    ASSERT_TRUE(demo.wait_for("Enter message : ")) << demo.screen();
    demo.type("two words`\n");
    const int status = demo.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << demo.screen();
    EXPECT_NE(demo.screen().find("Stats recieved from client: \r\nbytes: 9\r\n"), std::string::npos)
        << demo.screen();
    // The demo starts the client: drummet does not ask the user to start one.
    EXPECT_EQ(demo.screen().find("start one with"), std::string::npos) << demo.screen();
    EXPECT_NE(demo.screen().find(expected::hint), std::string::npos) << demo.screen();
}

TEST(Demo, CtrlCEndsItQuietly) {
    OnATerminal demo = start_demo();
    ASSERT_TRUE(demo.wait_for("Enter message : ")) << demo.screen();
    demo.type("half a mess");
    demo.type("\x03");
    const int status = demo.finish();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << demo.screen();
    EXPECT_EQ(demo.screen().find("drummet-client:"), std::string::npos) << demo.screen();
}

} // namespace
