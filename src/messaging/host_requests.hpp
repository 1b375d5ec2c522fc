#pragma once
// Pending synchronous requests from workers to the Business Layer, keyed by request id. The
// listener delivers answers as parsed JSON without the GIL; the waiting worker converts them.
#include <boost/json/object.hpp>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <unordered_map>

namespace gridlet {

class HostRequests {
public:
    struct Waiter {
        std::condition_variable cv;
        bool answered = false;
        bool cancelled = false;
        boost::json::object payload;
    };

    void add(const std::string& id, Waiter* w);
    void remove(const std::string& id);
    // False when nobody waits for `id` (unknown or timed out); the payload is then dropped.
    bool deliver(const std::string& id, boost::json::object&& payload);
    // Wakes every waiter without an answer (connection gone).
    void cancel_all();
    // Wakes every waiter so it checks its stop flag again (an interrupted run).
    void wake_all();
    // Blocks the calling thread until answered, cancelled, timed out or `stop` is true (when
    // given); true when answered.
    bool wait(const std::string& id, Waiter& w, double timeout_seconds, const std::atomic<bool>* stop = nullptr);
    std::size_t size() const;

private:
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Waiter*> waiting_;
    bool closed_ = false;
};

}  // namespace gridlet
