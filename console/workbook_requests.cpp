#include "workbook_requests.hpp"

#include "command_reader.hpp"
#include "pictures.hpp"
#include "values.hpp"

namespace console {

json::object answer_workbook_request(Workbook& workbook, const json::object& payload) {
    json::object reply;
    reply["requestId"] = payload.contains("requestId") ? payload.at("requestId") : json::value(nullptr);
    std::string action = str_field(payload, "action");
    try {
        if (action == "get_range") {
            reply["values"] = workbook.get(str_field(payload, "address"));
        } else if (action == "set_range") {
            auto* values = payload.if_contains("values");
            if (!values) throw WorkbookError("set_range needs values");
            workbook.set(str_field(payload, "address"), *values);
            reply["ok"] = true;
        } else if (action == "add_picture") {
            auto png = base64_decode(str_field(payload, "image_png"));
            if (!png) throw WorkbookError("image_png is not base64");
            auto* width = payload.if_contains("width");
            auto* height = payload.if_contains("height");
            reply["name"] =
                workbook.add_picture(str_field(payload, "address"), str_field(payload, "name"), std::move(*png),
                                     width ? *width : json::value(nullptr), height ? *height : json::value(nullptr));
        } else if (action == "sheet_names") {
            json::array names;
            for (auto& n : workbook.sheet_names()) names.emplace_back(n);
            reply["values"] = std::move(names);
        } else {
            reply["error"] = action.empty() ? "request without an action" : "unknown action '" + action + "'";
        }
    } catch (const std::exception& e) {
        reply["error"] = e.what();
    }
    return reply;
}

Outcome command_failed(Printer& printer, const std::string& message) {
    printer.out("error: " + message + "\n");
    return Outcome::Failed;
}

Outcome list_sheets(Workbook& workbook, Printer& printer) {
    for (auto& name : workbook.sheet_names()) {
        Area a = workbook.resolve("'" + name + "'!");
        printer.out(name + "  A1:" + column_name(a.col1) + std::to_string(a.row1 + 1) + "\n");
    }
    return Outcome::Ok;
}

Outcome show_range(Workbook& workbook, Printer& printer, const std::string& range) {
    std::string address = range;
    if (address.empty()) {
        auto names = workbook.sheet_names();
        if (names.empty()) return command_failed(printer, "the workbook has no sheets");
        address = names.front();
    }
    printer.out(workbook.render(address));
    std::string sheet = workbook.resolve(address).sheet;
    for (auto& p : workbook.pictures())
        if (p.sheet == sheet)
            printer.out("picture '" + p.name + "' at " + p.cell + ", " + size_text(p.pixels_w, p.pixels_h) + "\n");
    return Outcome::Ok;
}

Outcome list_pictures(Workbook& workbook, Printer& printer) {
    auto all = workbook.pictures();
    if (all.empty()) printer.out("(no pictures)\n");
    for (auto& p : all) {
        auto shown = size_text(static_cast<unsigned>(p.shown_w + 0.5), static_cast<unsigned>(p.shown_h + 0.5));
        printer.out(p.name + "  " + p.sheet + "!" + p.cell + "  " + size_text(p.pixels_w, p.pixels_h) +
                    (p.shown_w != p.pixels_w || p.shown_h != p.pixels_h ? " shown " + shown : "") + "  " +
                    std::to_string(p.png.size()) + " bytes\n");
    }
    return Outcome::Ok;
}

Outcome save_picture(Workbook& workbook, Printer& printer, const std::string& rest) {
    std::string name, file;
    if (!rest.empty() && (rest[0] == '\'' || rest[0] == '"')) {
        auto close = rest.find(rest[0], 1);
        if (close == std::string::npos) return command_failed(printer, "unclosed quote in the picture's name");
        name = rest.substr(1, close - 1);
        file = first_word(rest.substr(close + 1)).first;
    } else {
        auto [n, after] = first_word(rest);
        name = n;
        file = after;
    }
    if (name.empty() || file.empty()) return command_failed(printer, "%save-picture needs NAME FILE");
    auto p = workbook.picture(name);
    if (!p) return command_failed(printer, "no picture named '" + name + "' (%pictures lists them)");
    write_file(file, p->png);
    printer.out("wrote " + std::to_string(p->png.size()) + " bytes to " + file + "\n");
    return Outcome::Ok;
}

}  // namespace console
