#pragma once
// What the kernel needs of a debug session while a debug run is active. Every operation but
// ensure_traced is safe to call from the listener (no Python) while the run's worker is paused.
#include <boost/json/array.hpp>

#include <string>

#include "kernel/gil.hpp"

namespace gridlet {

class DebugSession {
public:
    virtual ~DebugSession() = default;
    virtual void continue_execution() = 0;
    virtual void step_over() = 0;
    virtual void step_into() = 0;
    virtual void step_out() = 0;
    virtual void stop_debugging() = 0;
    // Evaluates in the paused frame; the paused worker answers with debug_evaluate_result.
    // Returns false (nothing sent) when the run is not paused.
    virtual bool evaluate_expression(const std::string& expression, const std::string& request_id_json) = 0;
    virtual void set_breakpoints(const boost::json::array& breakpoints) = 0;
    // Turns tracing on for the run's worker when breakpoints or a stop need it (a run starts
    // untraced and runs at full speed until then).
    virtual void ensure_traced(const GilHeld&) = 0;
};

}  // namespace gridlet
