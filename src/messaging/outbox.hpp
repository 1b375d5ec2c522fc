#pragma once
// The one write queue of the connection. Any thread posts finished messages; each message (or the
// whole chunk sequence of a long one) is framed and appended contiguously, in posting order. The
// listener drains everything pending with one socket write. No GIL is involved.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>

namespace gridlet {

struct MessageInfo {
    std::string_view type;             // for logs and chunk headers
    std::string_view request_id_json;  // JSON text of the request id for chunk headers ("\"N/A\"" if none)
};

class Outbox {
public:
    using Sequence = std::uint64_t;

    // `kick` is called (from any thread, outside the lock) when work becomes pending and no drain is
    // scheduled; it must arrange for `take` to be called on the listener.
    void open(std::function<void()> kick);
    // No further writes: pending data is dropped and every waiter is released.
    void close();
    bool is_open() const;

    // Appends one message. Returns its sequence number (0 when the message was dropped).
    // `over_high_water`, when given, tells whether the producer should now wait for room.
    Sequence post(std::string_view json, const MessageInfo& info, bool* over_high_water = nullptr);
    // Producers that may outrun the socket (workers) check this before posting and, when true,
    // release the GIL and call wait_for_room().
    bool over_high_water() const;
    // `stop`, when given, ends the wait early once it is true (an interrupted run); the flag's
    // setter calls wake_waiters().
    void wait_for_room(const std::atomic<bool>* stop = nullptr);
    // Same, bounded: false when there is still no room after `timeout` (or after a stop).
    bool wait_for_room(std::chrono::duration<double> timeout, const std::atomic<bool>* stop = nullptr);
    // Wakes every waiting producer so it checks its stop flag again.
    void wake_waiters();
    // Appends several messages under one lock, so they leave in one socket write.
    struct Message {
        std::string_view json;
        MessageInfo info;
    };
    Sequence post_all(std::initializer_list<Message> messages, bool* over_high_water = nullptr);
    // Bytes written by the peer-facing side itself (WebSocket control frames from the library).
    void post_raw(std::string_view bytes);
    // The last bytes of the connection (the close frame): nothing posted after them is sent, and
    // what is pending before them still is.
    void post_final(std::string_view bytes);

    // Waits until message `seq` has been written to the socket. False on timeout, close or stop.
    bool wait_written(Sequence seq, std::chrono::duration<double> timeout, const std::atomic<bool>* stop = nullptr);

    // Listener side: moves all pending bytes into `into`; returns the sequence they complete.
    Sequence take(std::string& into);
    void mark_written(Sequence upto);
    std::size_t pending_bytes() const;

private:
    void append_locked(std::string_view json, const MessageInfo& info);
    void kick_if_needed(std::unique_lock<std::mutex>& lock);
    bool over_high_water_locked() const;

    mutable std::mutex mutex_;
    std::condition_variable drained_;
    std::string pending_;
    std::function<void()> kick_;
    bool open_ = false;
    bool sealed_ = false;  // the close frame is queued: later posts are dropped
    bool kick_scheduled_ = false;
    Sequence posted_ = 0;
    Sequence written_ = 0;
};

}  // namespace gridlet
