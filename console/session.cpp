#include "session.hpp"

#include "values.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <future>
#include <sstream>
#include <thread>

namespace console {

SignalState g_signals;

// ------------------------------------------------------------------------------------ Printer

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

// ------------------------------------------------------------------------------------- Waiter

void Waiter::finish(Outcome o) {
  std::lock_guard lock(mutex_);
  if (remaining_ <= 0) return;
  if (o != Outcome::Ok && outcome_ == Outcome::Ok) outcome_ = o;
  if (--remaining_ == 0) cv_.notify_all();
}

void Waiter::abort(Outcome o) {
  std::lock_guard lock(mutex_);
  if (remaining_ <= 0) return;
  outcome_ = o;
  remaining_ = 0;
  cv_.notify_all();
}

void Waiter::set_parts(int n) {
  std::lock_guard lock(mutex_);
  remaining_ = n;
  if (remaining_ <= 0) cv_.notify_all();
}

bool Waiter::wait_for(std::chrono::milliseconds d) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, d, [&] { return remaining_ <= 0; });
}

bool Waiter::done() const {
  std::lock_guard lock(mutex_);
  return remaining_ <= 0;
}

Outcome Waiter::outcome() const {
  std::lock_guard lock(mutex_);
  return outcome_;
}

// ------------------------------------------------------------------------------------ Session

Session::Session(asio::io_context& io, std::shared_ptr<Link> link, Workbook& workbook,
                 std::unique_ptr<ModuleFolder> folder, Printer& printer, const Options& options,
                 bool interactive)
    : io_(io),
      link_(std::move(link)),
      workbook_(workbook),
      folder_(std::move(folder)),
      printer_(printer),
      options_(options),
      interactive_(interactive),
      poll_timer_(io),
      images_(options.images) {}

std::string Session::new_request_id() {
  return "console-" + std::to_string(::getpid()) + "-" + std::to_string(++counter_);
}

template <class F>
auto Session::on_io(F f) -> decltype(f()) {
  using R = decltype(f());
  std::packaged_task<R()> task(std::move(f));
  auto fut = task.get_future();
  asio::post(io_, [&task] { task(); });
  return fut.get();
}

void Session::start() {
  auto self = shared_from_this();
  // The link keeps only weak references: the session owns the link, not the other way round.
  std::weak_ptr<Session> weak = self;
  link_->start([weak](json::object& m) { if (auto s = weak.lock()) s->on_message(m); },
               [weak](const std::string& problem) {
                 if (auto s = weak.lock()) s->printer_.err("gridlet-console: " + problem + "\n");
               },
               [weak](const std::string& reason) { if (auto s = weak.lock()) s->on_closed(reason); });
  // The first scan is the caller's sync_modules; polling takes over one interval later.
  if (folder_ && options_.poll > 0) asio::post(io_, [self] { self->schedule_poll(); });
}

bool Session::take_interrupt() {
  int now = g_signals.interrupts.load();
  if (now == seen_interrupts_) return false;
  seen_interrupts_ = now;
  return true;
}

std::string Session::summary() {
  std::string s = "sheets: ";
  auto names = workbook_.sheet_names();
  for (std::size_t i = 0; i < names.size(); ++i) s += (i ? ", " : "") + names[i];
  if (folder_) {
    auto mods = on_io([this] { return folder_->modules(); });
    s += "; modules: ";
    if (mods.empty()) s += "none";
    for (std::size_t i = 0; i < mods.size(); ++i) s += (i ? ", " : "") + mods[i].first;
  }
  return s;
}

// ---------------------------------------------------------------------- io thread: messages

void Session::on_closed(const std::string& reason) {
  closed_ = true;
  if (!closing_) {
    lost_ = true;
    printer_.err("gridlet-console: connection to the kernel lost: " + reason + "\n");
  }
  for (auto& [id, p] : pending_) p->waiter->abort(Outcome::Lost);
  for (auto& e : expects_)
    if (e.waiter) e.waiter->abort(Outcome::Lost);
  pending_.clear();
  expects_.clear();
  poll_timer_.cancel();
}

void Session::print_error_text(Pending& p, const std::string& text) {
  if (text.empty()) return;
  // Function calls stream their traceback to stderr before the error reply repeats it.
  auto trimmed = text.substr(0, text.find_last_not_of("\n") + 1);
  if (!trimmed.empty() && p.stderr_seen.find(trimmed) != std::string::npos) return;
  printer_.out(text.back() == '\n' ? text : text + "\n");
}

namespace {

// The text to show for the `error` field of a reply: a traceback text, or an error record
// {type, message, traceback}.
std::string error_text(const json::value* e) {
  if (!e || e->is_null()) return "";
  if (e->is_string()) return std::string(e->get_string());
  if (e->is_object()) {
    const auto& o = e->get_object();
    std::string tb = str_field(o, "traceback");
    if (!tb.empty()) return tb;
    std::string type = str_field(o, "type"), msg = str_field(o, "message");
    return type.empty() ? msg : type + ": " + msg;
  }
  return show_json(*e);
}

}  // namespace

void Session::on_message(json::object& m) {
  std::string type = str_field(m, "type");

  if (type == "sys_request") {
    answer_sys_request(m);
    return;
  }
  if (type == "request_module_sync") {
    // A stream names a module the kernel does not hold: a scan sends it if it is new or
    // changed on disk; otherwise its last source goes again.
    std::string name = str_field(m, "module_name");
    if (folder_) {
      auto sent = send_changes(nullptr);
      if (std::find(sent.begin(), sent.end(), name) != sent.end()) return;
    }
    const std::string* code = folder_ ? folder_->source(name) : nullptr;
    if (code) {
      link_->send({{"type", "update_module"}, {"module_name", name}, {"code", *code}});
      expects_.push_back({"module_updated", "update_module", name, nullptr, nullptr});
    } else {
      printer_.err("gridlet-console: the kernel asked for module '" + name + "', which the folder does not hold\n");
    }
    return;
  }
  if (type == "display_data") {
    // Shown wherever it comes from: a request's run or a thread of user code outside one.
    printer_.out(render_display(m, images_));
    return;
  }
  if (type == "show_message_box") {
    printer_.out("[" + str_field(m, "title", "message") + "] " + str_field(m, "message") + "\n");
    return;
  }

  if (auto* rid = m.if_contains("request_id"); rid && rid->is_string()) {
    auto it = pending_.find(std::string(rid->get_string()));
    if (it != pending_.end()) {
      auto p = it->second;  // keep it alive while its handler may erase it
      on_pending(*p, type, m);
      return;
    }
  }

  if (type == "stdout" || type == "stderr") {
    printer_.out(str_field(m, "content"));
    return;
  }

  for (auto it = expects_.begin(); it != expects_.end(); ++it) {
    bool match = it->reply_type == type && (it->module.empty() || str_field(m, "module_name") == it->module);
    bool refused = type == "error" && str_field(m, "original_type") == it->sent_type;
    if (!match && !refused) continue;
    Expect e = std::move(*it);
    expects_.erase(it);
    if (refused) {
      printer_.out("error: " + str_field(m, "message") + "\n");
      if (e.waiter) e.waiter->finish(Outcome::Failed);
      return;
    }
    if (e.render && !(e.waiter && e.waiter->done())) e.render(m);
    if (!e.waiter && interactive_ && (type == "module_updated" || type == "module_deleted"))
      printer_.err("(module " + e.module + (type == "module_updated" ? " updated)\n" : " deleted)\n"));
    if (e.waiter) e.waiter->finish(Outcome::Ok);
    return;
  }

  if (type == "error") {
    printer_.err("gridlet-console: the kernel reports: " + str_field(m, "message") + "\n");
  }
  // Everything else (object registry notices, event switches, late replies) needs no action.
}

void Session::on_pending(Pending& p, const std::string& type, const json::object& m) {
  auto done = [&](Outcome o) {
    pending_.erase(p.id);
    p.waiter->finish(o);
  };
  if (type == "stdout" || type == "stderr") {
    std::string content = str_field(m, "content");
    if (type == "stderr") p.stderr_seen += content;
    printer_.out(content);
    return;
  }
  if (type == "error") {
    if (!p.abandoned) printer_.out("error: " + str_field(m, "message") + "\n");
    done(Outcome::Failed);
    return;
  }
  if (p.abandoned) {
    // Nobody waits any more: the output above still shows, the replies end the request.
    static const char* finals[] = {"execution_result", "function_execution_result", "event_execution_result",
                                   "completion_response", "hover_response", "diagnostic_response"};
    for (const char* f : finals)
      if (type == f && !(p.kind == Pending::Call && type == "execution_result")) pending_.erase(p.id);
    if (type == "execution_error" && p.kind != Pending::Call) pending_.erase(p.id);
    if (type == "streaming_function_result") {
      auto* d = m.if_contains("done");
      if (d && d->is_bool() && d->get_bool()) pending_.erase(p.id);
    }
    return;
  }

  switch (p.kind) {
    case Pending::Exec:
    case Pending::PathsList:
      if (type == "result_output") {
        if (p.kind == Pending::Exec) printer_.out(str_field(m, "content"));
      } else if (type == "execution_result") {
        if (p.kind == Pending::PathsList) {
          if (auto* r = m.if_contains("result"); r && r->is_array())
            for (auto& path : r->get_array()) printer_.out(show_cell(path) + "\n");
        }
        done(Outcome::Ok);
      } else if (type == "execution_error") {
        print_error_text(p, error_text(m.if_contains("error")));
        done(Outcome::Failed);
      }
      break;

    case Pending::Call:
      if (type == "result_output") {
        printer_.out(str_field(m, "content"));
      } else if (type == "execution_error") {
        print_error_text(p, error_text(m.if_contains("error")));
        p.failed = true;
      } else if (type == "function_execution_result") {
        done(p.failed || str_field(m, "status") != "success" ? Outcome::Failed : Outcome::Ok);
      }
      break;

    case Pending::Stream:
      if (type == "streaming_function_result") {
        auto* d = m.if_contains("done");
        bool finished = d && d->is_bool() && d->get_bool();
        const json::value* result = m.if_contains("result");
        if (!finished) {
          printer_.out(show_json(result ? *result : json::value(nullptr)) + "\n");
          ++p.count;
          if (p.limit > 0 && p.count >= p.limit && !p.cancel_sent) {
            p.cancel_sent = true;
            link_->send({{"type", "cancel_streaming_function"}, {"request_id", p.id}});
          }
          return;
        }
        std::string err = error_text(m.if_contains("error"));
        if (!err.empty()) {
          print_error_text(p, err);
          done(Outcome::Failed);
          return;
        }
        if (result && result->is_string() && result->get_string() == "Canceled") printer_.out("[canceled]\n");
        done(Outcome::Ok);
      }
      break;

    case Pending::Event:
      if (type == "event_execution_result") {
        bool ok = str_field(m, "status") == "success";
        if (!ok) print_error_text(p, error_text(m.if_contains("error")));
        done(ok ? Outcome::Ok : Outcome::Failed);
      }
      break;

    case Pending::Complete:
      if (type == "completion_response") {
        std::string err = error_text(m.if_contains("error"));
        if (auto* c = m.if_contains("completions"); c && c->is_array()) {
          for (auto& item : c->get_array()) {
            if (!item.is_object()) continue;
            std::string kind = str_field(item.get_object(), "kind");
            printer_.out(str_field(item.get_object(), "label") + (kind.empty() ? "" : "  (" + kind + ")") + "\n");
          }
          if (c->get_array().empty() && err.empty()) printer_.out("(no completions)\n");
        }
        if (!err.empty()) printer_.out("error: " + err + "\n");
        done(err.empty() ? Outcome::Ok : Outcome::Failed);
      }
      break;

    case Pending::Hover:
      if (type == "hover_response") {
        std::string err = error_text(m.if_contains("error"));
        auto* c = m.if_contains("contents");
        std::string text = c && c->is_string() ? std::string(c->get_string()) : "";
        if (!text.empty()) printer_.out(text.back() == '\n' ? text : text + "\n");
        else if (err.empty()) printer_.out("(nothing to show)\n");
        if (!err.empty()) printer_.out("error: " + err + "\n");
        done(err.empty() ? Outcome::Ok : Outcome::Failed);
      }
      break;

    case Pending::Check:
      if (type == "diagnostic_response") {
        std::string err = error_text(m.if_contains("error"));
        std::size_t n = 0;
        if (auto* d = m.if_contains("diagnostics"); d && d->is_array()) {
          for (auto& item : d->get_array()) {
            if (!item.is_object()) continue;
            const auto& o = item.get_object();
            auto num = [&](const char* k) {
              auto* v = o.if_contains(k);
              return v && v->is_int64() ? std::to_string(v->get_int64()) : std::string("?");
            };
            printer_.out("line " + num("line") + ", column " + num("column") + ": " + str_field(o, "severity") +
                         ": " + str_field(o, "message") + "\n");
            ++n;
          }
        }
        if (n == 0 && err.empty()) printer_.out("no problems found\n");
        if (!err.empty()) printer_.out("error: " + err + "\n");
        done(err.empty() ? Outcome::Ok : Outcome::Failed);
      }
      break;
  }
}

void Session::answer_sys_request(const json::object& m) {
  auto* pv = m.if_contains("payload");
  if (!pv || !pv->is_object()) {
    printer_.err("gridlet-console: sys_request without a payload\n");
    return;
  }
  const auto& payload = pv->get_object();
  json::object reply;
  reply["requestId"] = payload.contains("requestId") ? payload.at("requestId") : json::value(nullptr);
  std::string action = str_field(payload, "action");
  try {
    if (action == "get_range") {
      reply["values"] = workbook_.get(str_field(payload, "address"));
    } else if (action == "set_range") {
      auto* values = payload.if_contains("values");
      if (!values) throw WorkbookError("set_range needs values");
      workbook_.set(str_field(payload, "address"), *values);
      reply["ok"] = true;
    } else if (action == "add_picture") {
      auto png = base64_decode(str_field(payload, "image_png"));
      if (!png) throw WorkbookError("image_png is not base64");
      auto* width = payload.if_contains("width");
      auto* height = payload.if_contains("height");
      reply["name"] = workbook_.add_picture(str_field(payload, "address"), str_field(payload, "name"), std::move(*png),
                                            width ? *width : json::value(nullptr), height ? *height : json::value(nullptr));
    } else if (action == "sheet_names") {
      json::array names;
      for (auto& n : workbook_.sheet_names()) names.emplace_back(n);
      reply["values"] = std::move(names);
    } else {
      reply["error"] = action.empty() ? "request without an action" : "unknown action '" + action + "'";
    }
  } catch (const std::exception& e) {
    reply["error"] = e.what();
  }
  link_->send({{"type", "sys_response"}, {"payload", std::move(reply)}});
}

// --------------------------------------------------------------------- io thread: modules

std::vector<std::string> Session::send_changes(const std::shared_ptr<Waiter>& waiter) {
  std::vector<std::string> warnings, sent;
  auto changes = folder_->scan(warnings);
  for (auto& w : warnings) printer_.err("gridlet-console: " + w + "\n");
  for (auto& c : changes) {
    if (c.kind == ModuleChange::Update) {
      link_->send({{"type", "update_module"}, {"module_name", c.name}, {"code", c.code}});
      expects_.push_back({"module_updated", "update_module", c.name, waiter, nullptr});
    } else {
      link_->send({{"type", "delete_module"}, {"module_name", c.name}});
      expects_.push_back({"module_deleted", "delete_module", c.name, waiter, nullptr});
    }
    sent.push_back(c.name);
  }
  return sent;
}

void Session::poll_folder() {
  if (!link_->is_open() || closing_) return;
  send_changes(nullptr);
  schedule_poll();
}

void Session::schedule_poll() {
  poll_timer_.expires_after(std::chrono::milliseconds(static_cast<long>(options_.poll * 1000)));
  poll_timer_.async_wait([self = shared_from_this()](boost::system::error_code ec) {
    if (!ec) self->poll_folder();
  });
}

Outcome Session::sync_modules(std::chrono::milliseconds limit) {
  if (!folder_) return Outcome::Ok;
  // The waiter's part count is known only after the scan, so it is made on the io thread.
  auto waiter = on_io([this]() -> std::shared_ptr<Waiter> {
    if (!link_->is_open()) return nullptr;
    auto w = std::make_shared<Waiter>();
    // Replies are handled on this thread too, so none can arrive before the count is set.
    w->set_parts(static_cast<int>(send_changes(w).size()));
    return w;
  });
  if (!waiter) return Outcome::Lost;
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!waiter->wait_for(std::chrono::milliseconds(50))) {
    if (g_signals.terminate || std::chrono::steady_clock::now() > deadline) return Outcome::TimedOut;
  }
  return waiter->outcome();
}

// ----------------------------------------------------------------------- main thread: commands

Outcome Session::submit(std::shared_ptr<Pending> p, json::object msg) {
  p->id = new_request_id();
  msg["request_id"] = p->id;
  asio::post(io_, [self = shared_from_this(), p, msg = std::move(msg)] {
    if (!self->link_->is_open()) {
      p->waiter->abort(Outcome::Lost);
      return;
    }
    self->pending_[p->id] = p;
    self->link_->send(msg);
  });
  return await(p);
}

void Session::abandon(const std::shared_ptr<Pending>& p, Outcome why) {
  if (p->waiter->done()) return;
  p->abandoned = true;
  p->waiter->abort(why);
}

bool Session::interrupt(const std::shared_ptr<Pending>& p) {
  if (p->waiter->done()) return false;
  // A stream is first asked to stop at its next value; a run stuck inside a value (or any
  // other command) is interrupted in the kernel, and the console waits to show how it ends.
  if (p->kind == Pending::Stream && !p->cancel_sent) {
    p->cancel_sent = true;
    link_->send({{"type", "cancel_streaming_function"}, {"request_id", p->id}});
    return true;
  }
  if (!p->interrupt_sent) {
    p->interrupt_sent = true;
    link_->send({{"type", "interrupt_request"}, {"request_id", p->id}});
    return true;
  }
  printer_.out(p->kind == Pending::Stream
                   ? "KeyboardInterrupt: stopped waiting for the stream to end\n"
                   : "KeyboardInterrupt: stopped waiting; the run goes on in the kernel and its output "
                     "still shows\n");
  abandon(p, Outcome::Interrupted);
  return true;
}

Outcome Session::await(const std::shared_ptr<Pending>& p) {
  using namespace std::chrono;
  auto start = steady_clock::now();
  bool timed_out = false, terminated = false;
  while (!p->waiter->wait_for(milliseconds(50))) {
    auto self = shared_from_this();
    if (g_signals.terminate && !terminated) {
      terminated = true;
      asio::post(io_, [self, p] { self->abandon(p, Outcome::Interrupted); });
    }
    if (take_interrupt() && !on_io([&] { return interrupt(p); }))
      --seen_interrupts_;  // the command had just ended: the Ctrl-C is for what comes next
    if (!timed_out && options_.timeout > 0 &&
        steady_clock::now() - start > duration<double>(options_.timeout)) {
      timed_out = true;
      printer_.err("gridlet-console: no reply within " + format_double(options_.timeout) + " s\n");
      asio::post(io_, [self, p] { self->abandon(p, Outcome::TimedOut); });
    }
  }
  return p->waiter->outcome();
}

Outcome Session::expect_reply(const std::string& reply_type, json::object msg,
                              std::function<void(const json::object&)> render) {
  auto waiter = std::make_shared<Waiter>();
  std::string sent = str_field(msg, "type");
  asio::post(io_, [self = shared_from_this(), waiter, reply_type, sent, msg = std::move(msg), render] {
    if (!self->link_->is_open()) {
      waiter->abort(Outcome::Lost);
      return;
    }
    self->expects_.push_back({reply_type, sent, "", waiter, render});
    self->link_->send(msg);
  });
  auto start = std::chrono::steady_clock::now();
  while (!waiter->wait_for(std::chrono::milliseconds(50))) {
    bool late = options_.timeout > 0 &&
                std::chrono::steady_clock::now() - start > std::chrono::duration<double>(options_.timeout);
    bool interrupted = take_interrupt();
    if (interrupted && waiter->done()) {
      --seen_interrupts_;  // it had just ended: the Ctrl-C is for what comes next
      break;
    }
    if (g_signals.terminate || interrupted || late) {
      if (late) printer_.err("gridlet-console: no reply within " + format_double(options_.timeout) + " s\n");
      waiter->abort(late ? Outcome::TimedOut : Outcome::Interrupted);
    }
  }
  return waiter->outcome();
}

Outcome Session::run(const Command& cmd, bool& quit) {
  quit = false;
  if (lost_) return Outcome::Lost;
  if (cmd.console) return console_command(cmd.text, quit);
  auto p = std::make_shared<Pending>();
  p->kind = Pending::Exec;
  return submit(p, {{"type", "execution_request"}, {"code", cmd.text}, {"source", "ide"}});
}

namespace {

void print_paths(Printer& printer, const json::object& m) {
  if (auto* c = m.if_contains("current_paths"); c && c->is_array())
    for (auto& p : c->get_array()) printer.out(show_cell(p) + "\n");
}

}  // namespace

Outcome Session::console_command(const std::string& text, bool& quit) {
  auto [word, rest] = first_word(text);
  auto fail = [&](const std::string& msg) {
    printer_.out("error: " + msg + "\n");
    return Outcome::Failed;
  };
  try {
    if (word == "%quit" || word == "%exit") {
      quit = true;
      return Outcome::Ok;
    }
    if (word == "%help") {
      std::string usage = kUsage;
      auto a = usage.find("Console commands:");
      auto b = usage.find("\nOptions:");
      printer_.out(usage.substr(a, b - a));
      return Outcome::Ok;
    }
    if (word == "%call" || word == "%stream" || word == "%event") {
      auto p = std::make_shared<Pending>();
      if (word == "%stream") {
        auto [opt, after] = first_word(rest);
        if (opt == "-n" || opt == "--max") {
          auto [num, after2] = first_word(after);
          char* end = nullptr;
          p->limit = std::strtol(num.c_str(), &end, 10);
          if (num.empty() || *end || p->limit <= 0) return fail("-n needs a positive number");
          rest = after2;
        }
      }
      auto [target, args_text] = first_word(rest);
      if (target.empty()) return fail(word + " needs MODULE.FUNCTION");
      auto [module, function] = split_target(target);
      json::array args = parse_arguments(args_text);
      json::object msg{{"module_name", module}, {"function_name", function}, {"args", std::move(args)},
                       {"workbook_id", options_.workbook_id}};
      if (word == "%call") {
        p->kind = Pending::Call;
        msg["type"] = "custom_function_call";
        msg["source"] = "addin";
      } else if (word == "%stream") {
        p->kind = Pending::Stream;
        msg["type"] = "execute_streaming_function";
        msg["source"] = "addin";
      } else {
        p->kind = Pending::Event;
        msg["type"] = "event_execution";
        msg["is_com"] = false;
        msg["object_name"] = "console";
        msg["event_type"] = "manual";
        msg["object_type"] = "Console";
      }
      return submit(p, std::move(msg));
    }
    if (word == "%paths") {
      auto [sub, arg] = first_word(rest);
      if (sub.empty()) {
        auto p = std::make_shared<Pending>();
        p->kind = Pending::PathsList;
        return submit(p, {{"type", "execution_request"},
                          {"code", "__import__('sys').path"},
                          {"function_name", "sys.path"},
                          {"source", "ide"}});
      }
      auto render = [this](const json::object& m) { print_paths(printer_, m); };
      if (sub == "add" || sub == "remove") {
        if (arg.empty()) return fail("%paths " + sub + " needs a folder");
        std::string dir = std::filesystem::absolute(arg).lexically_normal().string();
        if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
        return expect_reply(sub == "add" ? "path_added" : "path_removed",
                            {{"type", sub == "add" ? "add_path" : "remove_path"}, {"path", dir}}, render);
      }
      if (sub == "reset") return expect_reply("path_reset", {{"type", "reset_path"}}, render);
      return fail("%paths takes add DIR, remove DIR or reset");
    }
    if (word == "%objects") {
      return expect_reply("object_registry_response", {{"type", "get_object_registry"}}, [this](const json::object& m) {
        auto* objs = m.if_contains("objects");
        if (!objs || !objs->is_array() || objs->get_array().empty()) {
          printer_.out("(no objects kept)\n");
          return;
        }
        for (auto& o : objs->get_array()) {
          if (!o.is_object()) continue;
          const auto& e = o.get_object();
          printer_.out(str_field(e, "key") + "  " + str_field(e, "type") + "  " + str_field(e, "repr") + "\n");
        }
      });
    }
    if (word == "%reset") {
      return expect_reply("namespace_reset", {{"type", "reset_namespace"}},
                          [this](const json::object&) { printer_.out("namespace cleared\n"); });
    }
    if (word == "%complete" || word == "%hover" || word == "%check") {
      auto p = std::make_shared<Pending>();
      std::string code = rest;
      json::object msg{{"code", code}, {"workbook_id", options_.workbook_id}, {"module_name", nullptr}};
      if (word == "%check") {
        p->kind = Pending::Check;
        msg["type"] = "diagnostic_request";
        if (folder_ && python_identifier(code)) {
          auto src = on_io([this, code]() -> std::optional<std::string> {
            auto* s = folder_->source(code);
            return s ? std::optional<std::string>(*s) : std::nullopt;
          });
          if (src) {
            msg["code"] = *src;
            msg["module_name"] = code;
          }
        }
      } else {
        if (code.empty()) return fail(word + " needs some code");
        std::size_t col = utf8_length(code);
        p->kind = word == "%complete" ? Pending::Complete : Pending::Hover;
        msg["type"] = word == "%complete" ? "completion_request" : "hover_request";
        msg["line"] = 1;
        msg["column"] = word == "%complete" ? col : col - 1;
      }
      return submit(p, std::move(msg));
    }
    if (word == "%modules") {
      if (!folder_) return fail("no workbook folder was given");
      auto mods = on_io([this] { return folder_->modules(); });
      if (mods.empty()) printer_.out("(no modules)\n");
      for (auto& [name, path] : mods) printer_.out(name + "  " + path.string() + "\n");
      return Outcome::Ok;
    }
    if (word == "%sync") {
      if (!folder_) return fail("no workbook folder was given");
      auto o = sync_modules(std::chrono::seconds(10));
      if (o == Outcome::TimedOut) printer_.err("gridlet-console: the kernel did not acknowledge the modules\n");
      return o;
    }
    if (word == "%sheets") {
      for (auto& name : workbook_.sheet_names()) {
        Area a = workbook_.resolve("'" + name + "'!");
        printer_.out(name + "  A1:" + column_name(a.col1) + std::to_string(a.row1 + 1) + "\n");
      }
      return Outcome::Ok;
    }
    if (word == "%show") {
      std::string address = rest;
      if (address.empty()) {
        auto names = workbook_.sheet_names();
        if (names.empty()) return fail("the workbook has no sheets");
        address = names.front();
      }
      printer_.out(workbook_.render(address));
      std::string sheet = workbook_.resolve(address).sheet;
      for (auto& p : workbook_.pictures())
        if (p.sheet == sheet)
          printer_.out("picture '" + p.name + "' at " + p.cell + ", " + size_text(p.pixels_w, p.pixels_h) + "\n");
      return Outcome::Ok;
    }
    if (word == "%pictures") {
      auto all = workbook_.pictures();
      if (all.empty()) printer_.out("(no pictures)\n");
      for (auto& p : all) {
        auto shown = size_text(static_cast<unsigned>(p.shown_w + 0.5), static_cast<unsigned>(p.shown_h + 0.5));
        printer_.out(p.name + "  " + p.sheet + "!" + p.cell + "  " + size_text(p.pixels_w, p.pixels_h) +
                     (p.shown_w != p.pixels_w || p.shown_h != p.pixels_h ? " shown " + shown : "") + "  " +
                     std::to_string(p.png.size()) + " bytes\n");
      }
      return Outcome::Ok;
    }
    if (word == "%save-picture") {
      std::string name, file;
      if (!rest.empty() && (rest[0] == '\'' || rest[0] == '"')) {
        auto close = rest.find(rest[0], 1);
        if (close == std::string::npos) return fail("unclosed quote in the picture's name");
        name = rest.substr(1, close - 1);
        file = first_word(rest.substr(close + 1)).first;
      } else {
        auto [n, after] = first_word(rest);
        name = n;
        file = after;
      }
      if (name.empty() || file.empty()) return fail("%save-picture needs NAME FILE");
      auto p = workbook_.picture(name);
      if (!p) return fail("no picture named '" + name + "' (%pictures lists them)");
      write_file(file, p->png);
      printer_.out("wrote " + std::to_string(p->png.size()) + " bytes to " + file + "\n");
      return Outcome::Ok;
    }
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  return fail("unknown command " + word + " (%help lists the commands)");
}

void Session::shutdown(KernelChild& child) {
  using namespace std::chrono;
  closing_ = true;
  asio::post(io_, [self = shared_from_this()] { self->poll_timer_.cancel(); });
  if (link_->is_open()) link_->send({{"type", "shutdown"}});
  // The kernel answers shutdown by closing the connection and exiting.
  auto deadline = steady_clock::now() + seconds(5);
  while (!child.poll_exit() && steady_clock::now() < deadline) std::this_thread::sleep_for(milliseconds(10));
  if (!child.poll_exit()) {
    link_->close();
    if (!child.wait_exit(seconds(2))) {
      printer_.err("gridlet-console: the kernel (pid " + std::to_string(child.pid()) + ") did not exit; killing it\n");
      child.kill_now();
    }
  }
  link_->close();
}

}  // namespace console
