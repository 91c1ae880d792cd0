// SPDX-License-Identifier: GPL-2.0-only
// The command line both programs read, for any arguments (the input cut at
// its NULs): an exit status that means what it should, a folder only where
// -C gave one, and a bad argument named in one line that acts on nothing on a
// terminal.

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "command_line.hpp"
#include "report.hpp"

const common::Program common::program{"drummet", 255};

namespace {

// What the call says on standard error goes to a file of its own.
struct Said {
    int file = ::memfd_create("said", MFD_CLOEXEC);
    int saved = ::dup(STDERR_FILENO);
};
Said said;

std::string take_what_was_said() {
    std::string text;
    std::array<char, 4096> chunk{};
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(said.file, chunk.data(), chunk.size(), at);
        if (got <= 0)
            break;
        text.append(chunk.data(), static_cast<std::size_t>(got));
        at += got;
    }
    if (::ftruncate(said.file, 0) != 0 || ::lseek(said.file, 0, SEEK_SET) != 0)
        std::abort();
    return text;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Help and version go nowhere: what they are is the tests' of whole programs.
    std::freopen("/dev/null", "w", stdout);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::vector<std::string> arguments{"drummet"};
    const std::string_view all(reinterpret_cast<const char *>(data), size);
    for (std::size_t at = 0; at <= all.size() && arguments.size() < 16;) {
        const std::size_t end = std::min(all.find('\0', at), all.size());
        arguments.emplace_back(all.substr(at, end - at));
        at = end + 1;
    }
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    common::CommandLine line;
    ::dup2(said.file, STDERR_FILENO);
    const int status =
        common::read_command_line(static_cast<int>(arguments.size()), argv.data(), "usage\n", line);
    ::dup2(said.saved, STDERR_FILENO);
    const std::string text = take_what_was_said();
    // Going on, every argument was -C and its folder, and the folder is the last.
    bool pairs = arguments.size() % 2 == 1;
    for (std::size_t i = 1; pairs && i < arguments.size(); i += 2)
        pairs = arguments[i] == "-C";
    if ((status == -1) != pairs || (status == -1 && !text.empty()))
        std::abort();
    if (status == -1 && arguments.size() > 1 && line.folder != argv[arguments.size() - 1])
        std::abort();
    if (status != -1 && status != 0 && status != 2)
        std::abort();
    // A bad argument: one line, "drummet: ... (see drummet --help)", and no
    // byte in it a terminal would obey.
    if (status == 2) {
        if (!text.starts_with("drummet: ") || !text.ends_with(" (see drummet --help)\n") ||
            text.find('\n') != text.size() - 1)
            std::abort();
        for (std::size_t i = 0; i + 1 < text.size(); ++i) {
            const auto byte = static_cast<unsigned char>(text[i]);
            if (byte < 0x20 || byte == 0x7f ||
                (byte == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0))
                std::abort();
        }
    }
    return 0;
}
