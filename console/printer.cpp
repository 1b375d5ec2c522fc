#include "printer.hpp"

#include <unistd.h>

#include <cerrno>

namespace console {

namespace {
void write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // a closed pipe: drop the output
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}
}  // namespace

void Printer::out(std::string_view text) {
    std::lock_guard lock(mutex_);
    write_all(1, text);
}

void Printer::err(std::string_view text) {
    std::lock_guard lock(mutex_);
    write_all(2, text);
}

}  // namespace console
