// SPDX-License-Identifier: GPL-2.0-only
// Names as both programs show them, straight from quote_name: one line that
// acts on nothing on a terminal, and a word a shell reads back as the name.

#include "quote.hpp"

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../shared.hpp"

namespace {

std::string shown(std::string_view name, bool shell_word) {
    std::vector<char> out(common::shown_size(name.size()));
    return common::quote_name(out, name, shell_word);
}

struct Case {
    const char *what;
    std::string name, as_text, as_word;
};

const std::vector<Case> &cases() {
    static const std::vector<Case> all = {
        {"plain", "/tmp/x", "/tmp/x", "'/tmp/x'"},
        {"a quote", "it's", "it's", "'it'\\''s'"},
        {"characters of three and four bytes", "\xe4\xb8\x80\xf0\x9d\x84\x9e",
         "\xe4\xb8\x80\xf0\x9d\x84\x9e", "'\xe4\xb8\x80\xf0\x9d\x84\x9e'"},
        {"letters of other scripts", "/tmp/\xc3\xa9t\xc3\xa9 \xd0\xb6",
         "/tmp/\xc3\xa9t\xc3\xa9 \xd0\xb6", "'/tmp/\xc3\xa9t\xc3\xa9 \xd0\xb6'"},
        {"escape sequences", "x\033]0;T\a\033[2Jy", "\"$(printf 'x\\033]0;T\\007\\033[2Jy')\"",
         "\"$(printf 'x\\033]0;T\\007\\033[2Jy')\""},
        {"a newline, a percent sign and a backslash", "%\\\n", "\"$(printf '%%\\\\\\012')\"",
         "\"$(printf '%%\\\\\\012')\""},
        {"a C1 control",
         "a\xc2\x9b"
         "2J",
         "\"$(printf 'a\\302\\2332J')\"", "\"$(printf 'a\\302\\2332J')\""},
        {"bytes that are not UTF-8", "\xff\xc0\xaf\xed\xa0\x80",
         "\"$(printf '\\377\\300\\257\\355\\240\\200')\"",
         "\"$(printf '\\377\\300\\257\\355\\240\\200')\""},
        {"a right-to-left override", "abc\xe2\x80\xaejpg.exe",
         "\"$(printf 'abc\\342\\200\\256jpg.exe')\"", "\"$(printf 'abc\\342\\200\\256jpg.exe')\""},
        {"a line separator", "a\xe2\x80\xa8z", "\"$(printf 'a\\342\\200\\250z')\"",
         "\"$(printf 'a\\342\\200\\250z')\""},
        {"an isolate and the Arabic letter mark", "\xe2\x81\xa6x\xd8\x9c",
         "\"$(printf '\\342\\201\\246x\\330\\234')\"",
         "\"$(printf '\\342\\201\\246x\\330\\234')\""},
        {"punctuation beside them", "\xe2\x80\x93\xe2\x80\xa6", "\xe2\x80\x93\xe2\x80\xa6",
         "'\xe2\x80\x93\xe2\x80\xa6'"},
        {"the direction marks and the pop of an isolate",
         "\xe2\x80\x8e"
         "a\xe2\x80\x8f\xe2\x81\xa9",
         "\"$(printf '\\342\\200\\216a\\342\\200\\217\\342\\201\\251')\"",
         "\"$(printf '\\342\\200\\216a\\342\\200\\217\\342\\201\\251')\""},
        {"a leading dash", "-\033[1mx", "\"$(printf '\\055\\033[1mx')\"",
         "\"$(printf '\\055\\033[1mx')\""},
        {"a dash that does not lead", "a-\033", "\"$(printf 'a-\\033')\"",
         "\"$(printf 'a-\\033')\""},
        {"nothing", "", "", "''"},
    };
    return all;
}

TEST(Quote, ShowsEachNameAsOneLineThatActsOnNothing) {
    for (const Case &c : cases()) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(shown(c.name, false), c.as_text);
        EXPECT_EQ(shown(c.name, true), c.as_word);
    }
}

// A name too long for the room it is given shows that it was cut.
TEST(Quote, ShowsWhereANameWasCut) {
    std::vector<char> out(24);
    EXPECT_EQ(std::string(common::quote_name(out, std::string(40, 'x'))),
              std::string(20, 'x') + "...");
    EXPECT_EQ(std::string(common::quote_name(out, std::string(40, '\001'))),
              "\"$(printf '\\001\\001\\...");
}

// Every word, run through a POSIX shell in one go, is the name again.
TEST(Quote, AShellReadsEachWordBackAsTheName) {
    std::string script, expected;
    for (const Case &c : cases()) {
        if (c.name.ends_with('\n'))
            continue; // a shell drops the newlines that end a command's output
        script += "printf '%s|' " + shown(c.name, true) + "\n";
        expected += c.name + "|";
    }
    const testing_support::TempDir dir;
    std::ofstream(dir / "words.sh") << script;
    std::FILE *shell = ::popen(("/bin/sh " + (dir / "words.sh").string()).c_str(), "r");
    ASSERT_NE(shell, nullptr);
    std::string said;
    for (int c; (c = std::fgetc(shell)) != EOF;)
        said.push_back(static_cast<char>(c));
    EXPECT_EQ(::pclose(shell), 0);
    EXPECT_EQ(said, expected);
}

} // namespace
