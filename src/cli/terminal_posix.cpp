#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <istream>
#include <streambuf>
#include <system_error>

#include "cli/platform.h"

namespace merel::cli {

namespace {

class InputBuffer : public std::streambuf {
  public:
    InputBuffer() {
        // A closed descriptor 0, 1 or 2 would be taken by the next file opened, the bus
        // connection among them: the text would be read from the bus, the output written to
        // it. /dev/null holds the place; the closed input is still reported as closed.
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
            if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
            if (fd == STDIN_FILENO) closed_ = true;
            const int held = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
            if (held >= 0 && held != fd) close(held);
        }
    }

  protected:
    int_type underflow() override {
        if (closed_) {
            throw std::system_error(EBADF, std::generic_category(), "standard input is closed");
        }
        ssize_t n;
        do {
            n = read(STDIN_FILENO, buffer_, sizeof buffer_);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            throw std::system_error(errno, std::generic_category(), "standard input");
        }
        if (n == 0) return traits_type::eof();
        setg(buffer_, buffer_, buffer_ + n);
        return traits_type::to_int_type(buffer_[0]);
    }

  private:
    bool closed_ = false;
    char buffer_[4096];
};

}  // namespace

std::istream& StandardInput() {
    static InputBuffer buffer;
    static std::istream stream(&buffer);
    return stream;
}

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

bool StdinIsTerminal() {
    return isatty(STDIN_FILENO) == 1;
}

}  // namespace merel::cli
