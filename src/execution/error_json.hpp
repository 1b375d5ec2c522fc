#pragma once
// JSON text of an error record {"type","message","traceback"}.
#include <string>

#include "execution/tracebacks.hpp"
#include "messaging/json_text.hpp"

namespace gridlet {

inline void append_error_record(std::string& out, const ErrorRecord& e) {
    json_text::ObjectWriter w(out);
    w.str("type", e.type).str("message", e.message).str("traceback", e.traceback);
    w.close();
}

inline std::string error_record_json(const ErrorRecord& e) {
    std::string out;
    append_error_record(out, e);
    return out;
}

}  // namespace gridlet
