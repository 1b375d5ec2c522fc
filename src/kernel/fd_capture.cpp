#include "kernel/fd_capture.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "util/utf8.hpp"
#include "util/write_all.hpp"

namespace gridlet::fd_capture {
namespace {

std::atomic<bool> g_forked{false};
int g_console[2] = {1, 2};  // original stdout, stderr
int g_read_end[2] = {-1, -1};
bool g_started = false;

std::mutex g_mutex;
std::condition_variable g_idle;
bool g_busy = false;                        // the reader holds bytes it has not handed on yet
unsigned long long g_consumed[2] = {0, 0};  // bytes read and handed on, per pipe
Sink g_sink;

void child_after_fork() { g_forked.store(true, std::memory_order_relaxed); }

// Length of the valid UTF-8 sequence starting at s[i] (0 when invalid); `need_more` when the
// bytes end inside a sequence that may still be valid.
std::size_t sequence_length(const std::string& s, std::size_t i, bool& need_more) {
    utf8::Lead lead;
    if (!utf8::classify_lead(static_cast<unsigned char>(s[i]), lead)) return 0;
    const std::size_t len = lead.continuations + 1;
    const unsigned char lo = lead.lo, hi = lead.hi;
    for (std::size_t k = 1; k < len; ++k) {
        if (i + k >= s.size()) {
            need_more = true;
            return 0;
        }
        const auto b = static_cast<unsigned char>(s[i + k]);
        if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return 0;
    }
    return len;
}

// Moves the decodable part of `pending` into `out` (invalid bytes become U+FFFD); a sequence cut
// at the end stays in `pending` for the next read unless `final`.
void take_text(std::string& pending, std::string& out, bool final) {
    std::size_t i = 0;
    while (i < pending.size()) {
        bool need_more = false;
        std::size_t n = sequence_length(pending, i, need_more);
        if (need_more && !final) break;
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(pending, i, n);
            i += n;
        }
    }
    pending.erase(0, i);
}

void reader_main() {
    pthread_setname_np(pthread_self(), "fd-capture");
    std::string pending[2], text;
    char buffer[65536];
    pollfd fds[2] = {{g_read_end[0], POLLIN, 0}, {g_read_end[1], POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (int k = 0; k < 2; ++k) {
            if (!(fds[k].revents & (POLLIN | POLLHUP))) continue;
            Sink sink;
            {
                std::lock_guard lock(g_mutex);
                g_busy = true;
                sink = g_sink;
            }
            ssize_t n = ::read(fds[k].fd, buffer, sizeof buffer);
            if (n > 0) {
                util::write_all(g_console[k], buffer, std::size_t(n));
                pending[k].append(buffer, std::size_t(n));
                text.clear();
                take_text(pending[k], text, pending[k].size() > 16);
                if (!text.empty() && sink) sink(k == 0 ? StreamKind::out : StreamKind::err, text);
            } else if (n == 0) {
                fds[k].fd = -1;  // every writer is gone (cannot happen while fd k+1 is open here)
            }
            {
                std::lock_guard lock(g_mutex);
                if (n > 0) g_consumed[k] += std::size_t(n);
                g_busy = false;
            }
            g_idle.notify_all();
        }
    }
}

std::size_t unread(int fd) {
    int available = 0;
    if (fd >= 0 && ::ioctl(fd, FIONREAD, &available) == 0 && available > 0) return std::size_t(available);
    return 0;
}

}  // namespace

void start() {
    pthread_atfork(nullptr, nullptr, child_after_fork);
    // C stdio into a pipe would be fully buffered: keep C printf lines coming as written.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int saved[2] = {::fcntl(1, F_DUPFD_CLOEXEC, 3), ::fcntl(2, F_DUPFD_CLOEXEC, 3)};
    int pipes[2][2];
    if (saved[0] < 0 || saved[1] < 0 || ::pipe2(pipes[0], O_CLOEXEC) < 0) return;
    if (::pipe2(pipes[1], O_CLOEXEC) < 0) return;
    for (int k = 0; k < 2; ++k) {
        if (::dup2(pipes[k][1], k + 1) < 0) return;
        ::close(pipes[k][1]);
        g_read_end[k] = pipes[k][0];
        g_console[k] = saved[k];
    }
    g_started = true;
    std::thread(reader_main).detach();
}

void set_sink(Sink sink) {
    std::lock_guard lock(g_mutex);
    g_sink = std::move(sink);
}

int console_fd(StreamKind kind) { return g_console[kind == StreamKind::out ? 0 : 1]; }

void sync(int limit_ms) {
    if (!g_started || g_forked.load(std::memory_order_relaxed)) return;
    std::fflush(stdout);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    std::unique_lock lock(g_mutex);
    // Only what is in the pipes now: a process that keeps writing does not hold the caller up.
    if (!g_idle.wait_until(lock, deadline, [] { return !g_busy; })) return;
    const unsigned long long target[2] = {g_consumed[0] + unread(g_read_end[0]), g_consumed[1] + unread(g_read_end[1])};
    g_idle.wait_until(lock, deadline,
                      [&] { return !g_busy && g_consumed[0] >= target[0] && g_consumed[1] >= target[1]; });
}

bool pending() {
    if (!g_started || g_forked.load(std::memory_order_relaxed)) return false;
    std::fflush(stdout);
    std::lock_guard lock(g_mutex);
    return g_busy || unread(g_read_end[0]) > 0 || unread(g_read_end[1]) > 0;
}

bool in_forked_child() { return g_forked.load(std::memory_order_relaxed); }

}  // namespace gridlet::fd_capture
