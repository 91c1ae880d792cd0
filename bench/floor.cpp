// SPDX-License-Identifier: GPL-2.0-only
// The floor for the broadcaster benchmark: the ten system calls no run can do
// without (make and open both pipes, prompt, read, send, receive, print) and
// nothing else: no stdio, no checks. The difference to drummet is what
// drummet's own care costs.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr char prompt[] = "\nReady to broadcast to client\nEnter message : \n";
constexpr char label[] = "\nStats recieved from client: \n";
} // namespace

int main() {
    ::mkfifo("fifo1", 0777);
    const int message_fd = ::open("fifo1", O_WRONLY);
    ::mkfifo("fifo2", 0777);
    const int reply_fd = ::open("fifo2", O_RDONLY);
    // A failed write ends the run, as in drummet: it costs one comparison, and
    // packagers' fortified builds insist on it.
    if (::write(STDOUT_FILENO, prompt, sizeof prompt - 1) < 0)
        return 255;

    char message[1000];
    const ssize_t got = ::read(STDIN_FILENO, message, sizeof message);
    ssize_t length = 0;
    while (length < got && message[length] != '`')
        ++length;
    if (::write(message_fd, message, static_cast<size_t>(length)) < 0)
        return 255;

    char reply[1001];
    const ssize_t received = ::read(reply_fd, reply, 1000);
    if (received <= 0)
        return received < 0 ? 255 : 0;
    if (::write(STDOUT_FILENO, label, sizeof label - 1) < 0 ||
        ::write(STDOUT_FILENO, reply, static_cast<size_t>(received)) < 0)
        return 255;
    return 0;
}
