// SPDX-License-Identifier: GPL-2.0-only
// The command line both programs read: what it asks for, and how a bad
// argument is named, as a word a shell reads back, never cut down to nothing.

#include "command_line.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "unit.hpp"

namespace {

TEST(CommandLine, TakesAFolderAndNamesABadArgument) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;
        const char *folder;
    };
    const std::string high(300, '\x80');
    std::string high_shown;
    for (int i = 0; i < 256; ++i)
        high_shown += "\\200";
    const std::string cut_inside = std::string(255, 'x') + "\xc3\xa9" + "tail";
    for (Case c : std::vector<Case>{
             {{}, -1, "", nullptr},
             {{"-C", "/there"}, -1, "", "/there"},
             {{"-C", "/a", "-C", "/b"}, -1, "", "/b"},
             {{"-x"}, 2, "unexpected argument '-x'", nullptr},
             {{"message"}, 2, "unexpected argument 'message'", nullptr},
             {{"-x", "--help"}, 2, "unexpected argument '-x'", nullptr},
             {{"--help", "extra"}, 2, "unexpected argument 'extra'", nullptr},
             {{"-h", "--bogus"}, 2, "unexpected argument '--bogus'", nullptr},
             {{"--version", "--help"}, 2, "unexpected argument '--help'", nullptr},
             {{"-C"}, 2, "a folder must follow '-C'", nullptr},
             {{"-C", "/", "extra"}, 2, "unexpected argument 'extra'", "/"},
             {{"-\033[1mx"}, 2, "unexpected argument \"$(printf '\\055\\033[1mx')\"", nullptr},
             {{high}, 2, "unexpected argument \"$(printf '" + high_shown + "')\"...", nullptr},
             {{cut_inside}, 2, "unexpected argument '" + std::string(255, 'x') + "'...", nullptr},
         }) {
        SCOPED_TRACE(c.says);
        c.args.insert(c.args.begin(), "drummet");
        std::vector<char *> argv;
        for (std::string &arg : c.args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        common::CommandLine line;
        const unit::CapturedStderr said;
        EXPECT_EQ(
            common::read_command_line(static_cast<int>(c.args.size()), argv.data(), "usage", line),
            c.status);
        EXPECT_EQ(said.text(),
                  c.says.empty() ? "" : "drummet: " + c.says + " (see drummet --help)\n");
        EXPECT_STREQ(line.folder, c.folder);
    }
}

} // namespace
