#pragma once
// What the kernel needs of a debug session while a debug run is active.
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include <string>

namespace gridlet {

class DebugSession {
public:
    virtual ~DebugSession() = default;
    virtual void continue_execution() = 0;
    virtual void step_over() = 0;
    virtual void step_into() = 0;
    virtual void step_out() = 0;
    virtual void stop_debugging() = 0;
    // Entries copied into the debug_evaluate_result reply.
    virtual boost::json::object evaluate_expression(const std::string& expression) = 0;
    virtual void set_breakpoints(const boost::json::array& breakpoints) = 0;
};

}  // namespace gridlet
