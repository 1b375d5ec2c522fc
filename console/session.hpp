// One console session: the commands typed or scripted, the kernel's messages, and the workbook
// and module folder the kernel is served from. The session's code is split by job:
// session.cpp (threads, requests in flight, message routing), commands.cpp (the commands),
// session_modules.cpp (the module folder), replies.cpp (showing replies, by kind of command),
// workbook_requests.cpp (sys_requests and the workbook commands).
//
// Threads: the main thread reads commands and waits for them; the io thread runs the socket, prints
// the kernel's output as it arrives, answers sys_requests and polls the module folder. The
// console's state (requests in flight, module folder) is touched only on the io thread; the
// main thread hands work over with asio::post.
#pragma once

#include "command_reader.hpp"
#include "kernel_child.hpp"
#include "link.hpp"
#include "module_folder.hpp"
#include "options.hpp"
#include "pending.hpp"
#include "pictures.hpp"
#include "printer.hpp"
#include "waiter.hpp"
#include "workbook.hpp"

#include <atomic>
#include <chrono>
#include <deque>
#include <future>
#include <memory>
#include <string>
#include <unordered_map>

namespace console {

// What the signal handlers record; the main thread acts on it.
struct SignalState {
    std::atomic<int> interrupts{0};
    std::atomic<bool> terminate{false};
};
extern SignalState g_signals;

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(asio::io_context& io, std::shared_ptr<Link> link, Workbook& workbook, std::unique_ptr<ModuleFolder> folder,
            Printer& printer, const Options& options, bool interactive);

    // Starts reading the kernel's messages and polling the folder.
    void start();

    // Main thread: runs one command and waits for it. Sets `quit` for %quit.
    Outcome run(const Command& cmd, bool& quit);
    // Main thread: sends what changed in the folder and waits for the kernel's acknowledgements.
    Outcome sync_modules(std::chrono::milliseconds limit);
    // Main thread: sends shutdown and waits for the kernel to go; kills it by pid if it stays.
    void shutdown(KernelChild& child);
    // Main thread: true once per Ctrl-C pressed since the last call.
    bool take_interrupt();

    bool lost() const { return lost_; }
    // Main thread: the sheets and modules, for the banner.
    std::string summary();

private:
    // main thread
    Outcome submit(std::shared_ptr<Pending> p, json::object msg);
    Outcome await(const std::shared_ptr<Pending>& p);
    Outcome expect_reply(const std::string& reply_type, json::object msg,
                         std::function<void(const json::object&)> render);
    // Runs `f` on the io thread and returns its result.
    template <class F>
    auto on_io(F f) -> decltype(f());

    // main thread: console commands (commands.cpp); `word` is the command, `rest` what follows it
    Outcome console_command(const std::string& text, bool& quit);
    Outcome help_command(const std::string& word, const std::string& rest);
    Outcome invoke_command(const std::string& word, const std::string& rest);  // %call %stream %event
    Outcome paths_command(const std::string& word, const std::string& rest);
    Outcome objects_command(const std::string& word, const std::string& rest);
    Outcome reset_command(const std::string& word, const std::string& rest);
    Outcome language_command(const std::string& word, const std::string& rest);  // %complete %hover %check
    Outcome modules_command(const std::string& word, const std::string& rest);
    Outcome sync_command(const std::string& word, const std::string& rest);
    Outcome workbook_command(const std::string& word, const std::string& rest);  // %sheets %show %pictures ...

    // io thread
    void on_message(json::object& m);
    void on_pending(Pending& p, const std::string& type, const json::object& m);
    void on_closed(const std::string& reason);
    void answer_sys_request(const json::object& m);
    void abandon(const std::shared_ptr<Pending>& p, Outcome why);
    // Ctrl-C during a command: cancels a stream, then interrupts the run in the kernel, then stops
    // waiting. False if it had ended.
    bool interrupt(const std::shared_ptr<Pending>& p);

    // io thread, module folder (session_modules.cpp)
    // request_module_sync: a stream names a module the kernel does not hold.
    void request_module_sync(const std::string& name);
    void poll_folder();
    void schedule_poll();
    // Sends the folder's changes; returns the names of the modules sent or deleted.
    std::vector<std::string> send_changes(const std::shared_ptr<Waiter>& waiter);

    std::string new_request_id();

    asio::io_context& io_;
    std::shared_ptr<Link> link_;
    Workbook& workbook_;
    std::unique_ptr<ModuleFolder> folder_;
    Printer& printer_;
    const Options& options_;
    bool interactive_;

    std::unordered_map<std::string, std::shared_ptr<Pending>> pending_;
    std::deque<Expect> expects_;
    asio::steady_timer poll_timer_;
    std::atomic<bool> lost_{false};
    std::atomic<bool> closing_{false};
    std::atomic<bool> closed_{false};
    int seen_interrupts_ = 0;
    std::atomic<unsigned> counter_{0};
    ImageFolder images_;  // io thread
};

template <class F>
auto Session::on_io(F f) -> decltype(f()) {
    using R = decltype(f());
    std::packaged_task<R()> task(std::move(f));
    auto fut = task.get_future();
    asio::post(io_, [&task] { task(); });
    return fut.get();
}

}  // namespace console
