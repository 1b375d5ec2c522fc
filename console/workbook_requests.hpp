// The add-in's side of the workbook: sys_request payloads answered from the in-memory workbook,
// and the console commands that show it (%sheets, %show, %pictures, %save-picture).
#pragma once

#include "printer.hpp"
#include "waiter.hpp"
#include "workbook.hpp"

#include <string>

namespace console {

// The payload of the sys_response to a sys_request's payload: `requestId` echoed, then the
// action's values, `ok`, `name` or `error`.
json::object answer_workbook_request(Workbook& workbook, const json::object& payload);

// %sheets: each sheet with its used range.
Outcome list_sheets(Workbook& workbook, Printer& printer);
// %show [RANGE]: the cells of RANGE (default: the first sheet) and the pictures on its sheet.
Outcome show_range(Workbook& workbook, Printer& printer, const std::string& address);
// %pictures: every placed picture.
Outcome list_pictures(Workbook& workbook, Printer& printer);
// %save-picture NAME FILE (NAME may be quoted).
Outcome save_picture(Workbook& workbook, Printer& printer, const std::string& args);

// Prints "error: MESSAGE" for a command that cannot run.
Outcome command_failed(Printer& printer, const std::string& message);

}  // namespace console
