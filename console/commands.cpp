#include "session.hpp"

#include "values.hpp"
#include "workbook_requests.hpp"

#include <filesystem>
#include <optional>
#include <string_view>

namespace console {

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
    using Handler = Outcome (Session::*)(const std::string& word, const std::string& rest);
    struct Entry {
        std::string_view word;
        Handler handler;
    };
    static constexpr Entry kCommands[] = {
        {"%help", &Session::help_command},         {"%call", &Session::invoke_command},
        {"%stream", &Session::invoke_command},     {"%event", &Session::invoke_command},
        {"%paths", &Session::paths_command},       {"%objects", &Session::objects_command},
        {"%reset", &Session::reset_command},       {"%complete", &Session::language_command},
        {"%hover", &Session::language_command},    {"%check", &Session::language_command},
        {"%modules", &Session::modules_command},   {"%sync", &Session::sync_command},
        {"%sheets", &Session::workbook_command},   {"%show", &Session::workbook_command},
        {"%pictures", &Session::workbook_command}, {"%save-picture", &Session::workbook_command},
    };
    auto [word, rest] = first_word(text);
    if (word == "%quit" || word == "%exit") {
        quit = true;
        return Outcome::Ok;
    }
    for (const auto& entry : kCommands) {
        if (entry.word != word) continue;
        try {
            return (this->*entry.handler)(word, rest);
        } catch (const std::exception& e) {
            return command_failed(printer_, e.what());
        }
    }
    return command_failed(printer_, "unknown command " + word + " (%help lists the commands)");
}

Outcome Session::help_command(const std::string&, const std::string&) {
    std::string usage = kUsage;
    auto a = usage.find("Console commands:");
    auto b = usage.find("\nOptions:");
    printer_.out(usage.substr(a, b - a));
    return Outcome::Ok;
}

Outcome Session::invoke_command(const std::string& word, const std::string& arguments) {
    std::string rest = arguments;
    auto p = std::make_shared<Pending>();
    if (word == "%stream") {
        auto [opt, after] = first_word(rest);
        if (opt == "-n" || opt == "--max") {
            auto [num, after2] = first_word(after);
            char* end = nullptr;
            p->limit = std::strtol(num.c_str(), &end, 10);
            if (num.empty() || *end || p->limit <= 0) return command_failed(printer_, "-n needs a positive number");
            rest = after2;
        }
    }
    auto [target, args_text] = first_word(rest);
    if (target.empty()) return command_failed(printer_, word + " needs MODULE.FUNCTION");
    auto [module, function] = split_target(target);
    json::array args = parse_arguments(args_text);
    json::object msg{{"module_name", module},
                     {"function_name", function},
                     {"args", std::move(args)},
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

Outcome Session::paths_command(const std::string&, const std::string& rest) {
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
        if (arg.empty()) return command_failed(printer_, "%paths " + sub + " needs a folder");
        std::string dir = std::filesystem::absolute(arg).lexically_normal().string();
        if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
        return expect_reply(sub == "add" ? "path_added" : "path_removed",
                            {{"type", sub == "add" ? "add_path" : "remove_path"}, {"path", dir}}, render);
    }
    if (sub == "reset") return expect_reply("path_reset", {{"type", "reset_path"}}, render);
    return command_failed(printer_, "%paths takes add DIR, remove DIR or reset");
}

Outcome Session::objects_command(const std::string&, const std::string&) {
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

Outcome Session::reset_command(const std::string&, const std::string&) {
    return expect_reply("namespace_reset", {{"type", "reset_namespace"}},
                        [this](const json::object&) { printer_.out("namespace cleared\n"); });
}

Outcome Session::language_command(const std::string& word, const std::string& rest) {
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
        if (code.empty()) return command_failed(printer_, word + " needs some code");
        std::size_t col = utf8_length(code);
        p->kind = word == "%complete" ? Pending::Complete : Pending::Hover;
        msg["type"] = word == "%complete" ? "completion_request" : "hover_request";
        msg["line"] = 1;
        msg["column"] = word == "%complete" ? col : col - 1;
    }
    return submit(p, std::move(msg));
}

Outcome Session::modules_command(const std::string&, const std::string&) {
    if (!folder_) return command_failed(printer_, "no workbook folder was given");
    auto mods = on_io([this] { return folder_->modules(); });
    if (mods.empty()) printer_.out("(no modules)\n");
    for (auto& [name, path] : mods) printer_.out(name + "  " + path.string() + "\n");
    return Outcome::Ok;
}

Outcome Session::sync_command(const std::string&, const std::string&) {
    if (!folder_) return command_failed(printer_, "no workbook folder was given");
    auto o = sync_modules(std::chrono::seconds(10));
    if (o == Outcome::TimedOut) printer_.err("gridlet-console: the kernel did not acknowledge the modules\n");
    return o;
}

Outcome Session::workbook_command(const std::string& word, const std::string& rest) {
    if (word == "%sheets") return list_sheets(workbook_, printer_);
    if (word == "%show") return show_range(workbook_, printer_, rest);
    if (word == "%pictures") return list_pictures(workbook_, printer_);
    return save_picture(workbook_, printer_, rest);
}

}  // namespace console
