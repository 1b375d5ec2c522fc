// A command in flight that waits for replies carrying its request_id, and a reply without one
// that a command waits for.
#pragma once

#include "waiter.hpp"

#include <boost/json.hpp>

#include <functional>
#include <memory>
#include <string>

namespace console {

namespace json = boost::json;

struct Pending {
    // What was sent, which decides how the replies are shown (replies.cpp).
    enum Kind { Exec, PathsList, Call, Stream, Event, Complete, Hover, Check } kind;
    std::string id;
    std::shared_ptr<Waiter> waiter = std::make_shared<Waiter>();
    std::string stderr_seen;  // what the request streamed to stderr (tracebacks among it)
    bool abandoned = false;   // the console stopped waiting; later output still shows
    bool failed = false;
    long limit = 0;  // %stream -n
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

}  // namespace console
