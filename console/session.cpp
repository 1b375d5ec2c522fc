#include "session.hpp"

#include "replies.hpp"
#include "values.hpp"
#include "workbook_requests.hpp"

#include <unistd.h>

#include <thread>

namespace console {

SignalState g_signals;

Session::Session(asio::io_context& io, std::shared_ptr<Link> link, Workbook& workbook,
                 std::unique_ptr<ModuleFolder> folder, Printer& printer, const Options& options, bool interactive)
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

void Session::start() {
    auto self = shared_from_this();
    // The link keeps only weak references: the session owns the link, not the other way round.
    std::weak_ptr<Session> weak = self;
    link_->start(
        [weak](json::object& m) {
            if (auto s = weak.lock()) s->on_message(m);
        },
        [weak](const std::string& problem) {
            if (auto s = weak.lock()) s->printer_.err("gridlet-console: " + problem + "\n");
        },
        [weak](const std::string& reason) {
            if (auto s = weak.lock()) s->on_closed(reason);
        });
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

void Session::on_message(json::object& m) {
    std::string type = str_field(m, "type");

    if (type == "sys_request") {
        answer_sys_request(m);
        return;
    }
    if (type == "request_module_sync") {
        request_module_sync(str_field(m, "module_name"));
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
        if (ends_abandoned(p, type, m)) pending_.erase(p.id);
        return;
    }
    ReplyScope scope{printer_, done, [this](json::object msg) { link_->send(msg); }};
    render_reply(p, type, m, scope);
}

void Session::answer_sys_request(const json::object& m) {
    auto* pv = m.if_contains("payload");
    if (!pv || !pv->is_object()) {
        printer_.err("gridlet-console: sys_request without a payload\n");
        return;
    }
    link_->send({{"type", "sys_response"}, {"payload", answer_workbook_request(workbook_, pv->get_object())}});
}

// ----------------------------------------------------------------------- main thread: requests

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
        if (!timed_out && options_.timeout > 0 && steady_clock::now() - start > duration<double>(options_.timeout)) {
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
            printer_.err("gridlet-console: the kernel (pid " + std::to_string(child.pid()) +
                         ") did not exit; killing it\n");
            child.kill_now();
        }
    }
    link_->close();
}

}  // namespace console
