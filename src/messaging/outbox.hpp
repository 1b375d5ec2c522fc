#pragma once
// The one write queue of the connection. Any thread posts finished messages. The posting thread
// frames them (chunk_encoder) into its own buffers; the lock only links finished buffers, so each
// message (or the whole chunk sequence of a long one) stays contiguous and in posting order. A long
// message is linked piece by piece as it is framed, in a slot reserved at its posting, so the
// socket starts on it at once and later posts queue behind it. The listener takes every finished
// buffer and writes them with one gather write. No GIL is involved.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "messaging/chunk_encoder.hpp"

namespace gridlet {

// How a producer paces a long message: with `wait`, it waits for room (until `stop`) whenever
// the framed part of the message runs above the high-water mark. Only for producers that may
// block (workers without the GIL), never the listener.
struct OutboxPacing {
    bool wait = false;
    const std::atomic<bool>* stop = nullptr;
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

    using Pacing = OutboxPacing;

    // Appends one message. Returns its sequence number (0 when the message was dropped).
    // `over_high_water`, when given, tells whether the producer should now wait for room.
    Sequence post(const MessageText& json, const MessageInfo& info, bool* over_high_water = nullptr,
                  Pacing pacing = {});
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
        MessageText json;
        MessageInfo info;
    };
    Sequence post_all(std::initializer_list<Message> messages, bool* over_high_water = nullptr, Pacing pacing = {});
    // Bytes written by the peer-facing side itself (WebSocket control frames from the library).
    void post_raw(std::string_view bytes);
    // The last bytes of the connection (the close frame): nothing posted after them is sent, and
    // what is pending before them still is.
    void post_final(std::string_view bytes);

    // Waits until message `seq` has been written to the socket. False on timeout, close or stop.
    bool wait_written(Sequence seq, std::chrono::duration<double> timeout, const std::atomic<bool>* stop = nullptr);

    // Listener side: moves every finished buffer into `into` (what `into` held before is dropped,
    // one small buffer kept for reuse); returns the sequence they complete.
    Sequence take(std::vector<std::string>& into);
    // Same, joined into one string (tests).
    Sequence take(std::string& into);
    void mark_written(Sequence upto);
    std::size_t pending_bytes() const;

private:
    // A run of consecutive messages' frames. An open slot belongs to a producer still framing a
    // long message; nothing behind it is taken before it is complete.
    struct Slot {
        std::vector<std::string> buffers;
        Sequence seq = 0;  // the last message it holds
        bool open = false;
    };
    class SlotSink;

    // Links a small finished buffer as the message(s) up to `seq`.
    void link_small_locked(const std::string& frames, Sequence seq);
    void link_raw_locked(std::string_view bytes);
    void kick_if_needed(std::unique_lock<std::mutex>& lock);
    bool over_high_water_locked() const;
    bool over_high_water_through_locked(std::list<Slot>::const_iterator last) const;
    Sequence post_long(const Message* messages, std::size_t count, bool* over_high_water, Pacing pacing);

    mutable std::mutex mutex_;
    std::condition_variable drained_;
    std::list<Slot> slots_;
    std::size_t pending_ = 0;          // bytes linked and not yet taken
    std::vector<std::string> spares_;  // small written buffers, reused for the next small messages
    Sequence taken_ = 0;               // the last sequence handed to the listener whole
    std::function<void()> kick_;
    bool open_ = false;
    bool sealed_ = false;  // the close frame is queued: later posts are dropped
    bool kick_scheduled_ = false;
    Sequence posted_ = 0;
    Sequence written_ = 0;
};

}  // namespace gridlet
