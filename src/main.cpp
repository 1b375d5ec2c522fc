// gridlet-kernel WORKBOOK_ID PORT [--connection-args JSON]
#include <boost/asio.hpp>
#include <boost/json.hpp>

#include <pthread.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <thread>

#include "kernel/fd_capture.hpp"
#include "kernel/gil.hpp"
#include "kernel/interpreter.hpp"
#include "kernel/kernel.hpp"
#include "util/log.hpp"
#include "util/memory_release.hpp"

namespace {

constexpr const char* kUsage =
    "usage: gridlet-kernel WORKBOOK_ID PORT [--connection-args JSON]\n"
    "       gridlet-kernel --version\n"
    "\n"
    "Runs the Python kernel of one workbook. Connects as a WebSocket client to\n"
    "  wss://127.0.0.1:PORT/ws/kernel/WORKBOOK_ID   (ws:// when GRIDLET_SECURED=0)\n"
    "(WORKBOOK_ID percent-encoded as one path segment) and serves the Business Layer's\n"
    "requests until the connection ends.\n"
    "\n"
    "  --connection-args JSON  connection arguments, a JSON object (key \"platform\":\n"
    "                          \"win32\" enables the COM event hooks, \"web\" marks a web host)\n"
    "\n"
    "environment:\n"
    "  GRIDLET_SECURED        \"0\" for an unencrypted ws:// connection; anything else (default) is wss://\n"
    "  GRIDLET_TLS_CA_FILE    PEM bundle: the server's chain must verify against it and name\n"
    "                         127.0.0.1 or localhost\n"
    "  GRIDLET_TLS_PIN        sha256:HEX, the SHA-256 of the server certificate's DER: only that\n"
    "                         certificate is accepted\n"
    "                         (neither set: any server certificate is accepted)\n"
    "  GRIDLET_AUTH_TOKEN     sent as \"Authorization: Bearer TOKEN\" in the upgrade request; removed\n"
    "                         from the environment before any Python code runs, never logged\n"
    "  GRIDLET_PING_INTERVAL  seconds between keep-alive pings (default 20; 0: none); the connection\n"
    "                         ends when nothing answers within another interval\n"
    "  GRIDLET_LOG_LEVEL      DEBUG, INFO (default), WARNING or ERROR; logs go to stderr\n"
    "\n"
    "signals: SIGTERM and SIGINT close the connection (with a close frame) and exit with 0\n"
    "\n"
    "exit status: 0 after the connection ended normally, 1 when it could not be made (nothing\n"
    "listening, no answer, server certificate refused, upgrade refused), 2 for bad arguments or\n"
    "environment, 3 when the server broke the WebSocket protocol\n";

[[noreturn]] void finish(int code) {
    gridlet::log::get().flush();
    std::fflush(nullptr);
    // Workers may be inside user code that never returns: end without waiting for them.
    _exit(code);
}

}  // namespace

int main(int argc, char** argv) {
    gridlet::memory_release::configure();
    std::vector<std::string> positional;
    boost::json::object connection_args;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--version") {
            std::cout << "gridlet-kernel " GRIDLET_VERSION "\n";
            return 0;
        }
        if (arg == "--connection-args") {
            if (i + 1 >= argc) {
                std::cerr << "gridlet-kernel: --connection-args needs a JSON object\n" << kUsage;
                return 2;
            }
            boost::system::error_code ec;
            auto v = boost::json::parse(argv[++i], ec);
            if (ec || !(v.is_object() || v.is_null())) {
                std::cerr << "gridlet-kernel: --connection-args must be a JSON object\n";
                return 2;
            }
            if (v.is_object()) connection_args = std::move(v.get_object());
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2) {
        std::cerr << kUsage;
        return 2;
    }
    // First of all: the token leaves the environment before any thread or interpreter starts.
    std::string settings_error;
    auto settings = gridlet::take_connection_settings(settings_error);
    if (!settings) {
        std::cerr << "gridlet-kernel: " << settings_error << "\n";
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Before any other thread exists: fds 1 and 2 become pipes forwarded to the Business Layer;
    // the log keeps the original stderr.
    gridlet::fd_capture::start();
    gridlet::log::write_to_fd(gridlet::fd_capture::console_fd(gridlet::StreamKind::err));
    gridlet::log::setup_from_environment();

    boost::asio::io_context ioc(1);
    auto kernel = std::make_unique<gridlet::Kernel>(
        ioc, gridlet::KernelOptions{positional[0], "127.0.0.1", positional[1], std::move(connection_args),
                                    std::move(*settings)});
    // The connection is opened on a helper thread while this thread starts the interpreter; from
    // then on the main thread alone runs the io_context (the listener).
    std::thread opener([&] {
        boost::asio::co_spawn(ioc, kernel->open_connection(), boost::asio::detached);
        // Only until the attempt is over: timers it leaves behind are the listener's business.
        while (!kernel->open_finished() && ioc.run_one() > 0) {}
    });
    try {
        gridlet::interpreter::start(gridlet::interpreter::find_python_dir());
        gridlet::GilGuard gil;
        kernel->init_python(gil.held());
    } catch (const std::exception& e) {
        GLOG_ERROR("[Kernel] Start-up failed: {}", e.what());
        finish(1);
    }
    PyEval_SaveThread();  // the listener holds the GIL only inside short inline handlers
    opener.join();

    ioc.restart();
    // SIGTERM and SIGINT end the connection with a close frame; the process then exits with 0.
    boost::asio::signal_set signals(ioc, SIGTERM, SIGINT);
    // A forked child (os.fork, multiprocessing) must not report its signals to the parent's
    // loop through the handler's pipe: there they have their usual effect (Pool.terminate()
    // ends its workers with SIGTERM).
    pthread_atfork(nullptr, nullptr, [] {
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGINT, SIG_DFL);
    });
    signals.async_wait([&](const boost::system::error_code& ec, int signal_number) {
        if (ec) return;
        GLOG_INFO("[Kernel] Signal {} received: closing the connection", signal_number);
        boost::asio::co_spawn(ioc, kernel->stop(), boost::asio::detached);
    });
    // When run() is over the kernel's work is done, whatever timers are still armed.
    boost::asio::co_spawn(ioc, kernel->run(), [&ioc](std::exception_ptr) { ioc.stop(); });
    ioc.run();
    finish(kernel->exit_status());
}
