// Before main: standard input, output and error are open, so no file we open takes their place.
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace {

// A process started with descriptor 0, 1 or 2 closed would otherwise get the log as that
// descriptor at its first open, and the console streams would write into (or read from) the log.
// Unix daemons guard the same way; /dev/null keeps the streams harmless.
__attribute__((constructor)) void openClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

} // namespace
