// gridlet-console: plays the add-in's side for one kernel. It listens on 127.0.0.1, starts
// gridlet-kernel against itself, serves a workbook folder (modules and CSV sheets) and runs the
// commands typed at its prompt or listed in a script.
#include "command_reader.hpp"
#include "kernel_child.hpp"
#include "link.hpp"
#include "module_folder.hpp"
#include "options.hpp"
#include "session.hpp"
#include "session_tls.hpp"
#include "values.hpp"
#include "workbook.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

namespace fs = std::filesystem;
using namespace console;

namespace {

int g_wake[2] = {-1, -1};  // written by the signal handlers to wake the input reader

void wake_reader() {
    int saved = errno;
    char c = 1;
    [[maybe_unused]] auto n = ::write(g_wake[1], &c, 1);
    errno = saved;
}
void on_interrupt(int) {
    g_signals.interrupts.fetch_add(1);
    wake_reader();
}
void on_terminate(int) {
    g_signals.terminate.store(true);
    wake_reader();
}

// Ctrl-C and termination requests are recorded, not acted on in the handler; without
// SA_RESTART they also wake a blocked read of standard input.
void install_signal_handlers() {
    if (::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) g_wake[0] = g_wake[1] = -1;
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = on_interrupt;
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = on_terminate;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

sigset_t handled_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
    return set;
}

std::string log_tail(const std::string& path, std::size_t max_bytes = 4000) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    in.seekg(0, std::ios::end);
    auto size = static_cast<std::size_t>(in.tellg());
    std::size_t from = size > max_bytes ? size - max_bytes : 0;
    in.seekg(static_cast<std::streamoff>(from));
    std::string s(size - from, '\0');
    in.read(s.data(), static_cast<std::streamsize>(s.size()));
    return s;
}

void load_sheets(Workbook& wb, const std::string& folder) {
    std::vector<fs::path> csvs;
    std::error_code ec;
    if (!folder.empty())
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
            if (it->path().extension() == ".csv" && it->is_regular_file(ec)) csvs.push_back(it->path());
    std::sort(csvs.begin(), csvs.end());
    for (auto& p : csvs) {
        try {
            wb.load_csv(p);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "gridlet-console: skipping %s: %s\n", p.filename().c_str(), e.what());
        }
    }
    if (wb.sheet_names().empty()) wb.add_sheet("Sheet1");
}

}  // namespace

int main(int argc, char** argv) {
    bool help = false, version = false;
    std::string error;
    auto parsed = parse_options(argc, argv, help, version, error);
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (version) {
        std::fputs("gridlet-console " GRIDLET_VERSION "\n", stdout);
        return 0;
    }
    if (!parsed) {
        std::fprintf(stderr, "gridlet-console: %s\nTry 'gridlet-console --help'.\n", error.c_str());
        return 2;
    }
    Options opt = *parsed;
    bool interactive = opt.script.empty() && ::isatty(0);
    if (opt.script.empty() && !interactive) opt.script = "-";
    if (opt.timeout < 0) opt.timeout = interactive ? 0 : 60;

    int input_fd = 0;
    if (!opt.script.empty() && opt.script != "-") {
        input_fd = ::open(opt.script.c_str(), O_RDONLY | O_CLOEXEC);
        if (input_fd < 0) {
            std::fprintf(stderr, "gridlet-console: cannot read %s: %s\n", opt.script.c_str(), std::strerror(errno));
            return 2;
        }
    }
    if (!fs::exists(opt.kernel)) {
        std::fprintf(stderr, "gridlet-console: no kernel binary at %s (build it, or give --kernel PATH)\n",
                     opt.kernel.c_str());
        return 3;
    }

    Workbook workbook;
    load_sheets(workbook, opt.folder);
    Printer printer;

    install_signal_handlers();
    asio::io_context io;
    auto work = asio::make_work_guard(io);
    // The io thread never takes the signals, so they always interrupt the main thread's reads.
    sigset_t sigs = handled_signals();
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    std::thread io_thread([&io] { io.run(); });
    pthread_sigmask(SIG_UNBLOCK, &sigs, nullptr);

    std::string log_path = opt.kernel_log;
    bool temp_log = false;
    if (log_path.empty()) {
        char tmpl[] = "/tmp/gridlet-console-XXXXXX.log";
        int fd = ::mkstemps(tmpl, 4);
        if (fd >= 0) {
            ::close(fd);
            log_path = tmpl;
            temp_log = true;
        }
    }

    int status = 0;
    // The kernel is told to pin the session's certificate and to present the session's token.
    std::unique_ptr<SessionTls> tls;
    std::shared_ptr<asio::ssl::context> tls_context;
    std::string token;
    try {
        token = random_token();
        if (!opt.insecure) {
            tls = std::make_unique<SessionTls>();
            tls_context = std::make_shared<asio::ssl::context>(tls->server_context());
        }
    } catch (const std::exception& e) {
        printer.err(std::string("gridlet-console: ") + e.what() + "\n");
        work.reset();
        io.stop();
        io_thread.join();
        if (temp_log) ::unlink(log_path.c_str());
        return 3;
    }
    auto link = std::make_shared<Link>(io, tls_context, token);
    std::unique_ptr<KernelChild> child;
    std::shared_ptr<Session> session;
    auto stop_io = [&] {
        work.reset();
        io.stop();
        if (io_thread.joinable()) io_thread.join();
        if (temp_log) ::unlink(log_path.c_str());
    };
    auto startup_failed = [&](const std::string& why) {
        printer.err("gridlet-console: " + why + "\n");
        if (child) {
            child->kill_now();
            std::string tail = log_tail(log_path);
            if (!tail.empty()) printer.err("--- kernel log ---\n" + tail + (tail.back() == '\n' ? "" : "\n"));
        }
        asio::post(io, [link] { link->cancel_accept(); });
        stop_io();
        return 3;
    };

    unsigned short port = 0;
    try {
        port = link->listen();
        KernelSpawn spawn{opt.kernel, {opt.workbook_id, std::to_string(port)}, opt.log_level,
                          log_path,   tls ? tls->pin() : std::string(),        token};
        child = std::make_unique<KernelChild>(spawn);
    } catch (const std::exception& e) {
        return startup_failed(e.what());
    }

    auto accepted = asio::co_spawn(
        io, link->accept([&printer](const std::string& why) { printer.err("gridlet-console: " + why + "\n"); }),
        asio::use_future);
    auto started = std::chrono::steady_clock::now();
    while (accepted.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        if (child->poll_exit())
            return startup_failed("the kernel ended (" + child->status_text() + ") before it connected");
        if (g_signals.terminate || g_signals.interrupts > 0) return startup_failed("interrupted while starting");
        if (std::chrono::steady_clock::now() - started > std::chrono::duration<double>(opt.connect_timeout))
            return startup_failed("the kernel did not connect within " + std::to_string(int(opt.connect_timeout)) +
                                  " s");
    }
    try {
        std::string target = accepted.get();
        std::string expected = "/ws/kernel/" + opt.workbook_id;
        if (target != expected)
            printer.err("gridlet-console: the kernel connected to " + target + ", not " + expected + "\n");
    } catch (const std::exception& e) {
        return startup_failed(std::string("the kernel's connection failed: ") + e.what());
    }
    if (opt.verbose)
        link->set_trace([&printer](char dir, std::string_view text) {
            std::size_t cut = utf8_advance(text, 0, 2000);
            std::string s(text.substr(0, cut));
            if (cut < text.size()) s += "...";
            printer.err(std::string(dir == '<' ? "<< " : ">> ") + s + "\n");
        });

    std::unique_ptr<ModuleFolder> folder;
    if (!opt.folder.empty()) folder = std::make_unique<ModuleFolder>(opt.folder);
    session = std::make_shared<Session>(io, link, workbook, std::move(folder), printer, opt, interactive);
    session->start();
    if (session->sync_modules(std::chrono::seconds(15)) != Outcome::Ok)
        printer.err("gridlet-console: the kernel did not acknowledge every module\n");

    bool script_interrupted = false;
    SourceHooks hooks;
    hooks.wake_fd = g_wake[0];
    hooks.stop = [&] {
        if (!interactive && session->take_interrupt()) script_interrupted = true;
        return g_signals.terminate.load() || script_interrupted;
    };
    if (interactive) {
        hooks.show_prompt = [&printer](const char* prompt) { printer.out(prompt); };
        hooks.take_interrupt = [&] {
            if (!session->take_interrupt()) return false;
            printer.out("\nKeyboardInterrupt\n");
            return true;
        };
        printer.out("gridlet console: kernel pid " + std::to_string(child->pid()) + ", workbook '" + opt.workbook_id +
                    "' (" + session->summary() +
                    ")\nPython runs in the kernel; %help lists the console's commands; "
                    "Ctrl-D leaves.\n");
    }
    auto source = fd_source(input_fd, hooks);
    CommandReader reader(*source);
    bool any_failed = false;
    for (;;) {
        if (g_signals.terminate || session->lost()) break;
        if (!interactive && session->take_interrupt()) script_interrupted = true;
        if (script_interrupted) break;
        auto cmd = reader.next();
        if (!cmd) {
            if (interactive && !g_signals.terminate) printer.out("\n");
            break;
        }
        if (!interactive && session->take_interrupt()) script_interrupted = true;
        if (script_interrupted) break;
        if (opt.echo) {
            std::string shown;
            std::size_t start = 0;
            bool first = true;
            while (start <= cmd->text.size()) {
                auto nl = cmd->text.find('\n', start);
                std::string line = cmd->text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
                shown += (first ? ">>> " : "... ") + line + "\n";
                first = false;
                if (nl == std::string::npos) break;
                start = nl + 1;
            }
            printer.out(shown);
        }
        bool quit = false;
        Outcome o = session->run(*cmd, quit);
        if (quit || o == Outcome::Lost) break;
        if (o == Outcome::Failed || o == Outcome::TimedOut) {
            any_failed = true;
            if (!interactive && opt.stop_on_error) {
                printer.err("gridlet-console: stopping at line " + std::to_string(cmd->line) + " of the script\n");
                break;
            }
        }
        if (o == Outcome::Interrupted && !interactive) {
            script_interrupted = true;
            break;
        }
    }

    bool lost = session->lost();
    session->shutdown(*child);
    if (lost && child->exit_code() != 0) {
        std::string tail = log_tail(log_path);
        if (!tail.empty()) printer.err("--- kernel log (" + child->status_text() + ") ---\n" + tail);
    }
    stop_io();
    if (lost) status = 3;
    else if (script_interrupted) status = 130;
    else if (any_failed && !interactive) status = 1;
    return status;
}
