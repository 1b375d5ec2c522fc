#include "execution/run_output.hpp"

#include <atomic>

#include "kernel/replies.hpp"
#include "messaging/reply_builders.hpp"

namespace gridlet {
namespace {
thread_local RunOutput* t_current = nullptr;
thread_local std::shared_ptr<RunLink> t_inherited;
}  // namespace

RunOutput* RunOutput::current() {
    if (t_current) return t_current;
    if (t_inherited) return t_inherited->run;
    return nullptr;
}

std::shared_ptr<RunLink> RunOutput::current_link(const GilHeld&) {
    if (t_current) {
        if (!t_current->link_) t_current->link_ = std::make_shared<RunLink>(RunLink{t_current});
        return t_current->link_;
    }
    if (t_inherited && t_inherited->run) return t_inherited;
    return nullptr;
}

void RunOutput::inherit(const GilHeld&, std::shared_ptr<RunLink> link) { t_inherited = std::move(link); }

std::uint64_t RunOutput::next_serial() {
    static std::atomic<std::uint64_t> counter{0};
    return ++counter;
}

RunScope::RunScope(const GilHeld& gil, RunOutput& run) : gil_(gil), run_(run), previous_(t_current) {
    t_current = &run;
}

RunScope::~RunScope() {
    t_current = previous_;
    if (run_.link_) run_.link_->run = nullptr;
    run_.replies_.restore_stream_hooks(gil_);
}

void RunOutput::write(const GilHeld& gil, StreamKind kind, std::string_view utf8) {
    if (keep_text_) (kind == StreamKind::out ? out_ : err_).append(utf8);
    thread_local std::string message;
    message.clear();
    reply::append_stream_message(message, kind == StreamKind::err, utf8, tail_);
    replies_.post(gil, message, {kind == StreamKind::out ? "stdout" : "stderr", request_id_json_});
}

}  // namespace gridlet

namespace gridlet {

void RunOutput::display(const GilHeld& gil, std::string_view bundle) {
    replies_.post(gil, reply::display_data(bundle, tail_), {"display_data", request_id_json_});
}

}  // namespace gridlet
