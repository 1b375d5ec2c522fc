#pragma once
// Per-thread output routing. While a run of user code is active on a thread, every write to
// sys.stdout/sys.stderr made on that thread reaches this run's capture: it is streamed at once as a
// stdout/stderr message carrying the run's fields and, when asked, kept for the run's logs. Runs
// on other workers have their own, so overlapping runs never mix their output. A thread that user
// code starts during a run writes into that run too, for as long as the run lasts (RunLink).
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "kernel/gil.hpp"

namespace gridlet {

class Replies;
class RunOutput;
enum class StreamKind { out, err };

// What a thread started during a run holds on to: the run while it lasts, null once it ended.
// Read and cleared only with the GIL held.
struct RunLink {
    RunOutput* run;
};

class RunOutput {
public:
    // `tail` is the JSON text that closes each stream message after its content, e.g.
    // ,"request_id":"r1","workbook_id":"wb","source":"ide"}
    // `request_id_json` is the run's request id as JSON text (headers of chunked output).
    RunOutput(Replies& replies, std::string tail, bool keep_text, std::string request_id_json = "null")
        : replies_(replies),
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

    // The run the calling thread writes into: its own, or the one its starter was in (if still on).
    static RunOutput* current();
    // The link a thread started now should inherit (null outside any run).
    static std::shared_ptr<RunLink> current_link(const GilHeld&);
    // Makes the calling (newly started) thread write into `link`'s run while that run lasts.
    static void inherit(const GilHeld&, std::shared_ptr<RunLink> link);

private:
    friend class RunScope;
    Replies& replies_;
    std::string tail_;
    bool keep_text_;
    std::string request_id_json_;
    std::uint64_t serial_;
    std::string out_, err_;

    static std::uint64_t next_serial();
    std::shared_ptr<RunLink> link_;  // made when the run starts its first thread
};

// Makes `run` the calling thread's capture for the scope's lifetime. On leaving, the stream
// hooks are put back in sys.stdout/sys.stderr if user code replaced them, and threads the run
// started stop writing into it.
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
