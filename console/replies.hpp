// How the replies to a command are shown. Each kind of command has one render function, looked
// up in a table by the command's kind; the session handles what all kinds share (output
// streams, refusals, commands nobody waits for any more) before calling it.
#pragma once

#include "pending.hpp"
#include "printer.hpp"

#include <functional>
#include <string>

namespace console {

// What a render function may do besides printing.
struct ReplyScope {
    Printer& printer;
    std::function<void(Outcome)> done;       // the command is over: forget it and wake its waiter
    std::function<void(json::object)> send;  // a message to the kernel (a stream's cancel)
};

// Shows one reply of `p`'s kind (its own types only; others are ignored).
void render_reply(Pending& p, const std::string& type, const json::object& m, ReplyScope& scope);

// Whether a reply of `type` is the last one of a command that nobody waits for any more.
bool ends_abandoned(const Pending& p, const std::string& type, const json::object& m);

// The text to show for the `error` field of a reply: a traceback text, or an error record
// {type, message, traceback}.
std::string error_text(const json::value* e);

}  // namespace console
