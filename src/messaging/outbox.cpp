#include "messaging/outbox.hpp"

#include "messaging/constants.hpp"
#include "messaging/json_text.hpp"
#include "messaging/ws_frame.hpp"
#include "util/log.hpp"
#include "util/utf8.hpp"
#include "util/uuid.hpp"

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
        pending_.clear();
        pending_.shrink_to_fit();
        written_ = posted_;
    }
    drained_.notify_all();
}

bool Outbox::is_open() const {
    std::lock_guard lock(mutex_);
    return open_;
}

bool Outbox::over_high_water_locked() const { return pending_.size() > OUTBOX_HIGH_WATER; }

bool Outbox::over_high_water() const {
    std::lock_guard lock(mutex_);
    return open_ && over_high_water_locked();
}

namespace {
bool stopped(const std::atomic<bool>* stop) { return stop && stop->load(); }
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

void Outbox::append_locked(std::string_view json, const MessageInfo& info) {
    // Only a text longer than CHUNK_SIZE characters is chunked; bytes bound characters from above.
    if (json.size() <= CHUNK_SIZE || utf8::count_code_points(json) <= CHUNK_SIZE) {
        ws_frame::append_text_frame(pending_, json);
        return;
    }
    const std::size_t chars = utf8::count_code_points(json);
    const std::size_t total = (chars + CHUNK_SIZE - 1) / CHUNK_SIZE;
    const std::string chunk_id = uuid::v4_dashed();
    GLOG_INFO("[Kernel] Chunking large message: type={}, chunks={}, size={}", info.type, total, chars);
    std::string piece_msg;
    std::size_t offset = 0;
    std::string_view rest = json;
    for (std::size_t i = 0; i < total; ++i) {
        std::size_t cut = utf8::offset_of_code_point(rest, CHUNK_SIZE);
        std::string_view piece = rest.substr(0, cut);
        rest.remove_prefix(cut);
        offset += cut;
        piece_msg.clear();
        json_text::ObjectWriter w(piece_msg);
        w.str("type", CHUNK_HEADER_TYPE)
            .str("chunk_id", chunk_id)
            .integer("chunk_index", std::int64_t(i))
            .integer("total_chunks", std::int64_t(total))
            .str("data", piece)
            .str("original_type", info.type)
            .raw("request_id", info.request_id_json.empty() ? std::string_view("\"N/A\"") : info.request_id_json);
        w.close();
        ws_frame::append_text_frame(pending_, piece_msg);
    }
    GLOG_DEBUG("[Kernel] Sent {} chunks for message: type={}, chunk_id={}", total, info.type, chunk_id);
}

void Outbox::kick_if_needed(std::unique_lock<std::mutex>& lock) {
    if (kick_scheduled_ || pending_.empty()) return;
    kick_scheduled_ = true;
    auto kick = kick_;
    lock.unlock();
    if (kick) kick();
}

Outbox::Sequence Outbox::post(std::string_view json, const MessageInfo& info, bool* over_high_water) {
    std::unique_lock lock(mutex_);
    if (!open_ || sealed_) {
        lock.unlock();
        if (over_high_water) *over_high_water = false;
        GLOG_DEBUG("[Kernel] Dropping message type '{}': connection closed", info.type);
        return 0;
    }
    append_locked(json, info);
    Sequence seq = ++posted_;
    if (over_high_water) *over_high_water = over_high_water_locked();
    kick_if_needed(lock);
    return seq;
}

Outbox::Sequence Outbox::post_all(std::initializer_list<Message> messages, bool* over_high_water) {
    std::unique_lock lock(mutex_);
    if (over_high_water) *over_high_water = false;
    if (!open_ || sealed_) return 0;
    for (const auto& m : messages) {
        if (m.json.empty()) continue;
        append_locked(m.json, m.info);
        ++posted_;
    }
    Sequence seq = posted_;
    if (over_high_water) *over_high_water = over_high_water_locked();
    kick_if_needed(lock);
    return seq;
}

void Outbox::post_raw(std::string_view bytes) {
    std::unique_lock lock(mutex_);
    if (!open_ || sealed_) return;
    pending_.append(bytes);
    kick_if_needed(lock);
}

void Outbox::post_final(std::string_view bytes) {
    std::unique_lock lock(mutex_);
    if (!open_ || sealed_) return;
    sealed_ = true;
    pending_.append(bytes);
    kick_if_needed(lock);
}

bool Outbox::wait_written(Sequence seq, std::chrono::duration<double> timeout, const std::atomic<bool>* stop) {
    std::unique_lock lock(mutex_);
    return drained_.wait_for(lock, timeout, [&] { return written_ >= seq || !open_ || stopped(stop); }) && open_ &&
           written_ >= seq;
}

Outbox::Sequence Outbox::take(std::string& into) {
    Sequence seq;
    {
        std::lock_guard lock(mutex_);
        kick_scheduled_ = false;
        into.clear();
        into.swap(pending_);
        if (pending_.capacity() > OUTBOX_HIGH_WATER * 2) pending_ = std::string();
        seq = posted_;
    }
    drained_.notify_all();
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
    return pending_.size();
}

}  // namespace gridlet
