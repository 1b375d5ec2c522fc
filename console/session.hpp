// One console session: the commands typed or scripted, the kernel's messages, and the workbook
// and module folder the kernel is served from.
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
#include "pictures.hpp"
#include "workbook.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace console {

// Serialised writes to the console's stdout and stderr.
class Printer {
 public:
  void out(std::string_view text);
  void err(std::string_view text);

 private:
  std::mutex mutex_;
};

enum class Outcome { Ok, Failed, Interrupted, TimedOut, Lost };

// Completion of a command, possibly made of several replies.
class Waiter {
 public:
  explicit Waiter(int parts = 1) : remaining_(parts) {}
  void finish(Outcome o);  // one part done; a non-Ok outcome sticks
  void abort(Outcome o);   // done now, whatever is left
  void set_parts(int n);   // the number of parts still to come
  bool wait_for(std::chrono::milliseconds d);
  bool done() const;
  Outcome outcome() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  int remaining_;
  Outcome outcome_ = Outcome::Ok;
};

// What the signal handlers record; the main thread acts on it.
struct SignalState {
  std::atomic<int> interrupts{0};
  std::atomic<bool> terminate{false};
};
extern SignalState g_signals;

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(asio::io_context& io, std::shared_ptr<Link> link, Workbook& workbook,
          std::unique_ptr<ModuleFolder> folder, Printer& printer, const Options& options,
          bool interactive);

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
  // A command that waits for replies carrying its request_id.
  struct Pending {
    enum Kind { Exec, PathsList, Call, Stream, Event, Complete, Hover, Check } kind;
    std::string id;
    std::shared_ptr<Waiter> waiter = std::make_shared<Waiter>();
    std::string stderr_seen;  // what the request streamed to stderr (tracebacks among it)
    bool abandoned = false;   // the console stopped waiting; later output still shows
    bool failed = false;
    long limit = 0;           // %stream -n
    long count = 0;
    bool cancel_sent = false;
    bool interrupt_sent = false;  // interrupt_request sent (Ctrl-C)
  };

  // A reply that carries no request_id, recognised by its type (and module for module replies).
  struct Expect {
    std::string reply_type;
    std::string sent_type;
    std::string module;
    std::shared_ptr<Waiter> waiter;  // may be null (background module updates)
    std::function<void(const json::object&)> render;
  };


  // main thread
  Outcome submit(std::shared_ptr<Pending> p, json::object msg);
  Outcome await(const std::shared_ptr<Pending>& p);
  Outcome expect_reply(const std::string& reply_type, json::object msg,
                       std::function<void(const json::object&)> render);
  Outcome console_command(const std::string& text, bool& quit);
  template <class F>
  auto on_io(F f) -> decltype(f());

  // io thread
  void on_message(json::object& m);
  void on_pending(Pending& p, const std::string& type, const json::object& m);
  void on_closed(const std::string& reason);
  void answer_sys_request(const json::object& m);
  void poll_folder();
  void schedule_poll();
  // Sends the folder's changes; returns the names of the modules sent or deleted.
  std::vector<std::string> send_changes(const std::shared_ptr<Waiter>& waiter);
  void abandon(const std::shared_ptr<Pending>& p, Outcome why);
  // Ctrl-C during a command: cancels a stream, then interrupts the run in the kernel, then stops
  // waiting. False if it had ended.
  bool interrupt(const std::shared_ptr<Pending>& p);
  void print_error_text(Pending& p, const std::string& text);

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

}  // namespace console
