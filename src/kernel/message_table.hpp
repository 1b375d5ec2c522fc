#pragma once
// Every incoming message kind, with its handler and the thread its handling runs on. Dispatch is
// one lookup in this table; the README's table of incoming kinds lists the same threads.
#include <boost/json/object.hpp>

#include <span>
#include <string_view>

#include "kernel/gil.hpp"

namespace gridlet {

class Kernel;

enum class Runs {
    listener,       // answered at once, without Python
    worker,         // user code or Python state reads, on the worker pool
    control,        // Python state changes, in arrival order on the control thread
    language,       // the language-service thread
    paused_worker,  // the debug run's worker, woken at its pause
};

std::string_view runs_name(Runs runs);

struct Route {
    std::string_view kind;
    Runs runs;
    // Exactly one is set. `start` runs on the listener and must not touch Python: it answers at
    // once or hands the Python side to the thread named by `runs`. `apply` is run by dispatch, with the
    // GIL, on the control thread or a worker.
    void (*start)(Kernel&, boost::json::object&&);
    void (*apply)(Kernel&, const GilHeld&, const boost::json::object&);
};

std::span<const Route> message_routes();
// nullptr for a kind the kernel does not know (such messages are ignored).
const Route* find_route(std::string_view kind);

}  // namespace gridlet
