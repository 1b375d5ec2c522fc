#include "messaging/outbox.hpp"

#include <algorithm>

#include "messaging/constants.hpp"
#include "util/log.hpp"
#include "util/memory_release.hpp"

namespace gridlet {

void Outbox::open(std::function<void()> kick) {
    std::lock_guard lock(mutex_);
    kick_ = std::move(kick);
    open_ = true;
}

void Outbox::close() {
    {
        std::lock_guard lock(mutex_);
        open_ = false;
        // A slot still being filled stays (its producer removes it) but loses its bytes.
        for (auto it = slots_.begin(); it != slots_.end();) {
            if (it->open) {
                it->buffers.clear();
                ++it;
            } else {
                it = slots_.erase(it);
            }
        }
        pending_ = 0;
        spares_.clear();
        written_ = posted_;
    }
    drained_.notify_all();
}

bool Outbox::is_open() const {
    std::lock_guard lock(mutex_);
    return open_;
}

bool Outbox::over_high_water_locked() const { return pending_ > OUTBOX_HIGH_WATER; }

bool Outbox::over_high_water_through_locked(std::list<Slot>::const_iterator last) const {
    // A long message's producer counts the bytes up to its own, not those queued behind it: they
    // wait for it, and it must not wait for them.
    std::size_t bytes = 0;
    for (auto it = slots_.begin();; ++it) {
        for (const auto& b : it->buffers) bytes += b.size();
        if (it == last) break;
    }
    return bytes > OUTBOX_HIGH_WATER;
}

bool Outbox::over_high_water() const {
    std::lock_guard lock(mutex_);
    return open_ && over_high_water_locked();
}

namespace {
bool stopped(const std::atomic<bool>* stop) { return stop && stop->load(); }

// Frames of small messages are made here first, then copied into the queue under the lock.
thread_local std::string t_staged;

// Small buffers in the queue take further small messages up to this size.
constexpr std::size_t kSmallBuffer = 256 * 1024;
// Written small buffers kept for reuse.
constexpr std::size_t kSpares = 4;
}  // namespace

void Outbox::wait_for_room(const std::atomic<bool>* stop) {
    std::unique_lock lock(mutex_);
    drained_.wait(lock, [&] { return !open_ || !over_high_water_locked() || stopped(stop); });
}

bool Outbox::wait_for_room(std::chrono::duration<double> timeout, const std::atomic<bool>* stop) {
    std::unique_lock lock(mutex_);
    return drained_.wait_for(lock, timeout, [&] { return !open_ || !over_high_water_locked() || stopped(stop); }) &&
           !stopped(stop);
}

void Outbox::wake_waiters() {
    // Taking the lock orders the flag's store before any waiter's next check.
    { std::lock_guard lock(mutex_); }
    drained_.notify_all();
}

void Outbox::link_small_locked(const std::string& frames, Sequence seq) {
    if (slots_.empty() || slots_.back().open) slots_.emplace_back();
    Slot& slot = slots_.back();
    slot.seq = seq;
    if (frames.empty()) return;
    if (slot.buffers.empty() || slot.buffers.back().size() + frames.size() > kSmallBuffer) {
        slot.buffers.emplace_back();
        if (!spares_.empty()) {
            slot.buffers.back().swap(spares_.back());
            spares_.pop_back();
        } else {
            slot.buffers.back().reserve(std::max(kSmallBuffer, frames.size()));
        }
    }
    slot.buffers.back().append(frames);
    pending_ += frames.size();
}

// Links a long message's buffers into its slot as they are made, pacing the producer.
class Outbox::SlotSink final : public FrameSink {
public:
    SlotSink(Outbox& box, std::list<Slot>::iterator slot, Pacing pacing) : box_(box), slot_(slot), pacing_(pacing) {}
    void emit(std::string&& frames) override {
        std::unique_lock lock(box_.mutex_);
        if (!box_.open_) return;  // closed meanwhile: the rest is dropped
        box_.pending_ += frames.size();
        slot_->buffers.push_back(std::move(frames));
        if (pacing_.wait && box_.over_high_water_through_locked(slot_)) {
            box_.kick_if_needed(lock);
            if (!lock.owns_lock()) lock.lock();
            box_.drained_.wait(lock, [&] {
                return !box_.open_ || !box_.over_high_water_through_locked(slot_) || stopped(pacing_.stop);
            });
            if (!box_.open_ || stopped(pacing_.stop)) pacing_.wait = false;  // finish unpaced
            return;
        }
        box_.kick_if_needed(lock);
    }

private:
    Outbox& box_;
    std::list<Slot>::iterator slot_;
    Pacing pacing_;
};

Outbox::Sequence Outbox::post_long(const Message* messages, std::size_t count, bool* over_high_water, Pacing pacing) {
    std::list<Slot>::iterator slot;
    {
        std::lock_guard lock(mutex_);
        if (!open_ || sealed_) {
            if (over_high_water) *over_high_water = false;
            return 0;
        }
        for (std::size_t i = 0; i < count; ++i)
            if (!messages[i].json.empty()) ++posted_;
        slot = slots_.insert(slots_.end(), Slot{{}, posted_, true});
    }
    const Sequence seq = slot->seq;
    SlotSink sink(*this, slot, pacing);
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (messages[i].json.empty()) continue;
        chunk_encoder::encode(messages[i].json, messages[i].info, out, &sink);
    }
    std::unique_lock lock(mutex_);
    if (open_ && !out.empty()) {
        pending_ += out.size();
        slot->buffers.push_back(std::move(out));
    }
    slot->open = false;
    if (slot->buffers.empty() && !open_) slots_.erase(slot);
    if (over_high_water) *over_high_water = open_ && over_high_water_locked();
    kick_if_needed(lock);
    return seq;
}

void Outbox::kick_if_needed(std::unique_lock<std::mutex>& lock) {
    if (kick_scheduled_ || pending_ == 0) return;
    kick_scheduled_ = true;
    auto kick = kick_;
    lock.unlock();
    if (kick) kick();
}

Outbox::Sequence Outbox::post(const MessageText& json, const MessageInfo& info, bool* over_high_water, Pacing pacing) {
    if (json.size() > chunk_encoder::kBufferBytes) {
        Message m{json, info};
        return post_long(&m, 1, over_high_water, pacing);
    }
    std::string& staged = t_staged;
    staged.clear();
    chunk_encoder::encode(json, info, staged);
    std::unique_lock lock(mutex_);
    if (!open_ || sealed_) {
        lock.unlock();
        if (over_high_water) *over_high_water = false;
        GLOG_DEBUG("[Kernel] Dropping message type '{}': connection closed", info.type);
        return 0;
    }
    Sequence seq = ++posted_;
    link_small_locked(staged, seq);
    if (over_high_water) *over_high_water = over_high_water_locked();
    kick_if_needed(lock);
    if (staged.capacity() > kSmallBuffer) std::string().swap(staged);
    return seq;
}

Outbox::Sequence Outbox::post_all(std::initializer_list<Message> messages, bool* over_high_water, Pacing pacing) {
    std::size_t total = 0;
    for (const auto& m : messages) total += m.json.size();
    if (total > chunk_encoder::kBufferBytes)
        return post_long(messages.begin(), messages.size(), over_high_water, pacing);
    std::string& staged = t_staged;
    staged.clear();
    std::size_t count = 0;
    for (const auto& m : messages) {
        if (m.json.empty()) continue;
        chunk_encoder::encode(m.json, m.info, staged);
        ++count;
    }
    std::unique_lock lock(mutex_);
    if (over_high_water) *over_high_water = false;
    if (!open_ || sealed_) return 0;
    posted_ += count;
    Sequence seq = posted_;
    if (count) link_small_locked(staged, seq);
    if (over_high_water) *over_high_water = over_high_water_locked();
    kick_if_needed(lock);
    if (staged.capacity() > kSmallBuffer) std::string().swap(staged);
    return seq;
}

void Outbox::post_raw(std::string_view bytes) {
    std::unique_lock lock(mutex_);
    if (!open_ || sealed_) return;
    link_raw_locked(bytes);
    kick_if_needed(lock);
}

void Outbox::post_final(std::string_view bytes) {
    std::unique_lock lock(mutex_);
    if (!open_ || sealed_) return;
    sealed_ = true;
    link_raw_locked(bytes);
    kick_if_needed(lock);
}

void Outbox::link_raw_locked(std::string_view bytes) {
    if (slots_.empty() || slots_.back().open) slots_.emplace_back().seq = posted_;
    Slot& slot = slots_.back();
    if (slot.buffers.empty() || slot.buffers.back().size() + bytes.size() > kSmallBuffer) slot.buffers.emplace_back();
    slot.buffers.back().append(bytes);
    pending_ += bytes.size();
}

bool Outbox::wait_written(Sequence seq, std::chrono::duration<double> timeout, const std::atomic<bool>* stop) {
    std::unique_lock lock(mutex_);
    return drained_.wait_for(lock, timeout, [&] { return written_ >= seq || !open_ || stopped(stop); }) && open_ &&
           written_ >= seq;
}

Outbox::Sequence Outbox::take(std::vector<std::string>& into) {
    // What was written last time is freed outside the lock; a few small buffers are kept for reuse.
    std::vector<std::string> keep;
    for (auto& b : into) {
        if (keep.size() < kSpares && b.capacity() >= kSmallBuffer && b.capacity() <= kSmallBuffer * 2) {
            b.clear();
            keep.push_back(std::move(b));
        }
    }
    // A long message's frame buffers go back for its next frames (or the next long message).
    std::size_t freed = 0;
    for (auto& b : into) {
        if (b.capacity() >= chunk_encoder::kBufferBytes) memory_release::recycle(b);
        else freed += b.capacity();
    }
    into.clear();
    Sequence seq;
    bool idle;
    {
        std::lock_guard lock(mutex_);
        kick_scheduled_ = false;
        for (auto& b : keep)
            if (spares_.size() < kSpares) spares_.push_back(std::move(b));
        while (!slots_.empty()) {
            Slot& slot = slots_.front();
            for (auto& b : slot.buffers) {
                pending_ -= b.size();
                if (!b.empty()) into.push_back(std::move(b));
            }
            slot.buffers.clear();
            if (slot.open) break;
            if (slot.seq > taken_) taken_ = slot.seq;
            slots_.pop_front();
        }
        seq = taken_;
        idle = slots_.empty();
    }
    drained_.notify_all();
    if (freed > kSmallBuffer) memory_release::note_freed(freed, idle);
    return seq;
}

Outbox::Sequence Outbox::take(std::string& into) {
    std::vector<std::string> buffers;
    Sequence seq = take(buffers);
    into.clear();
    for (const auto& b : buffers) into += b;
    return seq;
}

void Outbox::mark_written(Sequence upto) {
    {
        std::lock_guard lock(mutex_);
        if (upto > written_) written_ = upto;
    }
    drained_.notify_all();
}

std::size_t Outbox::pending_bytes() const {
    std::lock_guard lock(mutex_);
    return pending_;
}

}  // namespace gridlet
