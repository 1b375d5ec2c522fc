#pragma once
// Per-thread output routing. While a run of user code is active on a thread, every write to
// sys.stdout/sys.stderr made on that thread reaches this run's capture: it is streamed at once as a
// stdout/stderr message carrying the run's fields and, when asked, kept for the run's logs. Runs
// on other workers have their own, so overlapping runs never mix their output.
#include <cstdint>
#include <string>
#include <string_view>

#include "kernel/gil.hpp"

namespace gridlet {

class Kernel;
enum class StreamKind { out, err };

class RunOutput {
public:
    // `tail` is the JSON text that closes each stream message after its content, e.g.
    // ,"request_id":"r1","workbook_id":"wb","source":"ide"}
    // `request_id_json` is the run's request id as JSON text (headers of chunked output).
    RunOutput(Kernel& kernel, std::string tail, bool keep_text, std::string request_id_json = "null")
        : kernel_(kernel),
          tail_(std::move(tail)),
          keep_text_(keep_text),
          request_id_json_(std::move(request_id_json)),
          serial_(next_serial()) {}

    void write(const GilHeld&, StreamKind kind, std::string_view utf8);
    // Posts one display_data message carrying the run's fields; `bundle` is the JSON text
    // "data":{...},"metadata":{...} without braces.
    void display(const GilHeld&, std::string_view bundle);
    const std::string& text(StreamKind kind) const { return kind == StreamKind::out ? out_ : err_; }
    std::string logs() const { return out_ + err_; }

    // Tells the runs of the process apart (matplotlib figures remember the run that made them).
    std::uint64_t serial() const { return serial_; }

    static RunOutput* current();

private:
    friend class RunScope;
    Kernel& kernel_;
    std::string tail_;
    bool keep_text_;
    std::string request_id_json_;
    std::uint64_t serial_;
    std::string out_, err_;

    static std::uint64_t next_serial();
};

// Makes `run` the calling thread's capture for the scope's lifetime. On leaving, the stream
// hooks are put back in sys.stdout/sys.stderr if user code replaced them.
class RunScope {
public:
    RunScope(const GilHeld& gil, RunOutput& run);
    ~RunScope();
    RunScope(const RunScope&) = delete;
    RunScope& operator=(const RunScope&) = delete;

private:
    const GilHeld& gil_;
    RunOutput& run_;
    RunOutput* previous_;
};

}  // namespace gridlet
