#include "waiter.hpp"

namespace console {

void Waiter::finish(Outcome o) {
    std::lock_guard lock(mutex_);
    if (remaining_ <= 0) return;
    if (o != Outcome::Ok && outcome_ == Outcome::Ok) outcome_ = o;
    if (--remaining_ == 0) cv_.notify_all();
}

void Waiter::abort(Outcome o) {
    std::lock_guard lock(mutex_);
    if (remaining_ <= 0) return;
    outcome_ = o;
    remaining_ = 0;
    cv_.notify_all();
}

void Waiter::set_parts(int n) {
    std::lock_guard lock(mutex_);
    remaining_ = n;
    if (remaining_ <= 0) cv_.notify_all();
}

bool Waiter::wait_for(std::chrono::milliseconds d) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, d, [&] { return remaining_ <= 0; });
}

bool Waiter::done() const {
    std::lock_guard lock(mutex_);
    return remaining_ <= 0;
}

Outcome Waiter::outcome() const {
    std::lock_guard lock(mutex_);
    return outcome_;
}

}  // namespace console
