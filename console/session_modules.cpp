#include "session.hpp"

#include "values.hpp"

#include <algorithm>

namespace console {

void Session::request_module_sync(const std::string& name) {
    // A scan sends the module if it is new or changed on disk; otherwise its last source goes again.
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
}

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

}  // namespace console
