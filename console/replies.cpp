#include "replies.hpp"

#include "values.hpp"

namespace console {

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

namespace {

using Renderer = void (*)(Pending&, const std::string&, const json::object&, ReplyScope&);

bool done_flag(const json::object& m) {
    auto* d = m.if_contains("done");
    return d && d->is_bool() && d->get_bool();
}

void print_error_text(ReplyScope& s, const Pending& p, const std::string& text) {
    if (text.empty()) return;
    // Function calls stream their traceback to stderr before the error reply repeats it.
    auto trimmed = text.substr(0, text.find_last_not_of("\n") + 1);
    if (!trimmed.empty() && p.stderr_seen.find(trimmed) != std::string::npos) return;
    s.printer.out(text.back() == '\n' ? text : text + "\n");
}

// execution_request of typed code: its result text, then the end or the traceback.
void render_exec(Pending& p, const std::string& type, const json::object& m, ReplyScope& s) {
    if (type == "result_output") {
        s.printer.out(str_field(m, "content"));
    } else if (type == "execution_result") {
        s.done(Outcome::Ok);
    } else if (type == "execution_error") {
        print_error_text(s, p, error_text(m.if_contains("error")));
        s.done(Outcome::Failed);
    }
}

// %paths: the result is sys.path, one folder per line.
void render_paths_list(Pending& p, const std::string& type, const json::object& m, ReplyScope& s) {
    if (type == "execution_result") {
        if (auto* r = m.if_contains("result"); r && r->is_array())
            for (auto& path : r->get_array()) s.printer.out(show_cell(path) + "\n");
        s.done(Outcome::Ok);
    } else if (type == "execution_error") {
        print_error_text(s, p, error_text(m.if_contains("error")));
        s.done(Outcome::Failed);
    }
}

// %call: output, the error (if any), then function_execution_result ends it.
void render_call(Pending& p, const std::string& type, const json::object& m, ReplyScope& s) {
    if (type == "result_output") {
        s.printer.out(str_field(m, "content"));
    } else if (type == "execution_error") {
        print_error_text(s, p, error_text(m.if_contains("error")));
        p.failed = true;
    } else if (type == "function_execution_result") {
        s.done(p.failed || str_field(m, "status") != "success" ? Outcome::Failed : Outcome::Ok);
    }
}

// %stream: one value per line; -n N cancels after N values; the final result ends it.
void render_stream(Pending& p, const std::string& type, const json::object& m, ReplyScope& s) {
    if (type != "streaming_function_result") return;
    const json::value* result = m.if_contains("result");
    if (!done_flag(m)) {
        s.printer.out(show_json(result ? *result : json::value(nullptr)) + "\n");
        ++p.count;
        if (p.limit > 0 && p.count >= p.limit && !p.cancel_sent) {
            p.cancel_sent = true;
            s.send({{"type", "cancel_streaming_function"}, {"request_id", p.id}});
        }
        return;
    }
    std::string err = error_text(m.if_contains("error"));
    if (!err.empty()) {
        print_error_text(s, p, err);
        s.done(Outcome::Failed);
        return;
    }
    if (result && result->is_string() && result->get_string() == "Canceled") s.printer.out("[canceled]\n");
    s.done(Outcome::Ok);
}

// %event: the handler's status.
void render_event(Pending& p, const std::string& type, const json::object& m, ReplyScope& s) {
    if (type != "event_execution_result") return;
    bool ok = str_field(m, "status") == "success";
    if (!ok) print_error_text(s, p, error_text(m.if_contains("error")));
    s.done(ok ? Outcome::Ok : Outcome::Failed);
}

// %complete: one completion per line, with its kind.
void render_completions(Pending&, const std::string& type, const json::object& m, ReplyScope& s) {
    if (type != "completion_response") return;
    std::string err = error_text(m.if_contains("error"));
    if (auto* c = m.if_contains("completions"); c && c->is_array()) {
        for (auto& item : c->get_array()) {
            if (!item.is_object()) continue;
            std::string kind = str_field(item.get_object(), "kind");
            s.printer.out(str_field(item.get_object(), "label") + (kind.empty() ? "" : "  (" + kind + ")") + "\n");
        }
        if (c->get_array().empty() && err.empty()) s.printer.out("(no completions)\n");
    }
    if (!err.empty()) s.printer.out("error: " + err + "\n");
    s.done(err.empty() ? Outcome::Ok : Outcome::Failed);
}

// %hover: the hover text.
void render_hover(Pending&, const std::string& type, const json::object& m, ReplyScope& s) {
    if (type != "hover_response") return;
    std::string err = error_text(m.if_contains("error"));
    auto* c = m.if_contains("contents");
    std::string text = c && c->is_string() ? std::string(c->get_string()) : "";
    if (!text.empty()) s.printer.out(text.back() == '\n' ? text : text + "\n");
    else if (err.empty()) s.printer.out("(nothing to show)\n");
    if (!err.empty()) s.printer.out("error: " + err + "\n");
    s.done(err.empty() ? Outcome::Ok : Outcome::Failed);
}

// %check: one diagnostic per line.
void render_diagnostics(Pending&, const std::string& type, const json::object& m, ReplyScope& s) {
    if (type != "diagnostic_response") return;
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
            s.printer.out("line " + num("line") + ", column " + num("column") + ": " + str_field(o, "severity") + ": " +
                          str_field(o, "message") + "\n");
            ++n;
        }
    }
    if (n == 0 && err.empty()) s.printer.out("no problems found\n");
    if (!err.empty()) s.printer.out("error: " + err + "\n");
    s.done(err.empty() ? Outcome::Ok : Outcome::Failed);
}

struct RendererEntry {
    Pending::Kind kind;
    Renderer render;
};

constexpr RendererEntry kRenderers[] = {
    {Pending::Exec, render_exec},     {Pending::PathsList, render_paths_list}, {Pending::Call, render_call},
    {Pending::Stream, render_stream}, {Pending::Event, render_event},          {Pending::Complete, render_completions},
    {Pending::Hover, render_hover},   {Pending::Check, render_diagnostics},
};

}  // namespace

void render_reply(Pending& p, const std::string& type, const json::object& m, ReplyScope& scope) {
    for (const auto& entry : kRenderers)
        if (entry.kind == p.kind) return entry.render(p, type, m, scope);
}

bool ends_abandoned(const Pending& p, const std::string& type, const json::object& m) {
    // A custom function call's execution_result/execution_error come before its own final reply.
    static const char* finals[] = {"execution_result",       "function_execution_result",
                                   "event_execution_result", "completion_response",
                                   "hover_response",         "diagnostic_response"};
    for (const char* f : finals)
        if (type == f && !(p.kind == Pending::Call && type == "execution_result")) return true;
    if (type == "execution_error" && p.kind != Pending::Call) return true;
    if (type == "streaming_function_result") return done_flag(m);
    return false;
}

}  // namespace console
