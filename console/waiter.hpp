// How a command ends, and the completion the main thread waits on while the io thread handles
// the command's replies.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace console {

enum class Outcome { Ok, Failed, Interrupted, TimedOut, Lost };

// Completion of a command, possibly made of several replies.
class Waiter {
public:
    explicit Waiter(int parts = 1) : remaining_(parts) {}
    void finish(Outcome o);  // one part done; a non-Ok outcome sticks
    void abort(Outcome o);   // done now, whatever is left
    void set_parts(int n);   // the number of parts still to come
    bool wait_for(std::chrono::milliseconds d);
    bool done() const;
    Outcome outcome() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    int remaining_;
    Outcome outcome_ = Outcome::Ok;
};

}  // namespace console
