// The concurrency units under load from many threads at once: pending host requests, the write
// queue and the worker pool. They are also what scripts/sanitize.sh runs under ThreadSanitizer.
#include <gtest/gtest.h>

#include "ws_frames.hpp"

#include <boost/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "kernel/worker_pool.hpp"
#include "messaging/constants.hpp"
#include "messaging/host_requests.hpp"
#include "messaging/outbox.hpp"
#include "python_environment.hpp"

using namespace gridlet;
using namespace std::chrono_literals;

namespace {

// Ids that waiters have registered, for the thread that plays the listener.
class AskedQueue {
public:
    void push(std::string id) {
        {
            std::lock_guard lock(m_);
            q_.push_back(std::move(id));
        }
        cv_.notify_one();
    }
    // Up to `max` ids, waiting at most `patience` for the first.
    std::vector<std::string> take(std::size_t max, std::chrono::milliseconds patience) {
        std::unique_lock lock(m_);
        cv_.wait_for(lock, patience, [&] { return !q_.empty(); });
        std::vector<std::string> out;
        while (!q_.empty() && out.size() < max) {
            out.push_back(std::move(q_.front()));
            q_.pop_front();
        }
        return out;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::string> q_;
};

std::vector<std::string> frames_of(const std::string& wire) { return test_support::decode_client_frames(wire); }

}  // namespace

TEST(Concurrency, HostRequestsFromManyThreadsAreAnsweredInAnyOrderExactlyOnce) {
    HostRequests table;
    AskedQueue asked;
    constexpr int kThreads = 12, kEach = 150;
    std::atomic<int> wrong{0}, unanswered{0}, finished{0};
    std::vector<std::thread> waiters;
    for (int t = 0; t < kThreads; ++t) {
        waiters.emplace_back([&, t] {
            for (int k = 0; k < kEach; ++k) {
                std::string id = std::to_string(t) + "-" + std::to_string(k);
                HostRequests::Waiter w;
                table.add(id, &w);
                asked.push(id);
                if (!table.wait(id, w, 10.0)) {
                    ++unanswered;
                    continue;
                }
                if (w.payload.at("id").as_string() != id) ++wrong;
            }
            ++finished;
        });
    }
    // The listener: answers what is asked in shuffled batches, each id twice, with answers for
    // ids nobody asked for in between.
    std::mt19937 rng(5);
    int delivered = 0, refused = 0;
    while (finished < kThreads) {
        auto batch = asked.take(8, 5ms);
        std::shuffle(batch.begin(), batch.end(), rng);
        for (const auto& id : batch) {
            delivered += table.deliver(id, {{"id", id}});
            refused += !table.deliver(id, {{"id", "again"}});
            refused += !table.deliver("never-" + id, {{"id", "unknown"}});
        }
    }
    for (auto& t : waiters) t.join();
    EXPECT_EQ(unanswered, 0);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(delivered, kThreads * kEach);
    EXPECT_EQ(refused, 2 * kThreads * kEach);
    EXPECT_EQ(table.size(), 0u);
}

TEST(Concurrency, HostRequestTimeoutsRacingWithAnswersAgreeOnWhoWon) {
    // An answer that arrives as the wait times out is either taken (deliver true, wait true) or
    // refused (both false): never delivered to a waiter that has already given up.
    HostRequests table;
    AskedQueue asked;
    constexpr int kThreads = 8, kEach = 200;
    std::atomic<int> waits_won{0}, finished{0};
    std::vector<std::thread> waiters;
    for (int t = 0; t < kThreads; ++t) {
        waiters.emplace_back([&, t] {
            for (int k = 0; k < kEach; ++k) {
                std::string id = std::to_string(t) + ":" + std::to_string(k);
                HostRequests::Waiter w;
                table.add(id, &w);
                asked.push(id);
                if (table.wait(id, w, 0.0002 * (k % 5))) ++waits_won;
            }
            ++finished;
        });
    }
    int delivered = 0;
    while (finished < kThreads)
        for (const auto& id : asked.take(16, 2ms)) delivered += table.deliver(id, {{"v", 1}});
    for (auto& t : waiters) t.join();
    for (const auto& id : asked.take(1 << 20, 0ms)) delivered += table.deliver(id, {{"v", 1}});
    EXPECT_EQ(delivered, waits_won.load());
    EXPECT_EQ(table.size(), 0u);
}

TEST(Concurrency, CancellingWakesEveryWaiterAtOnce) {
    HostRequests table;
    constexpr int kThreads = 10;
    std::atomic<int> woken{0}, registered{0};
    std::vector<std::thread> waiters;
    for (int t = 0; t < kThreads; ++t) {
        waiters.emplace_back([&, t] {
            HostRequests::Waiter w;
            std::string id = "c" + std::to_string(t);
            table.add(id, &w);
            ++registered;
            EXPECT_FALSE(table.wait(id, w, 30.0));
            EXPECT_TRUE(w.cancelled);
            ++woken;
        });
    }
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (registered < kThreads && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    auto t0 = std::chrono::steady_clock::now();
    table.cancel_all();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken, kThreads);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    EXPECT_EQ(table.size(), 0u);
}

TEST(Concurrency, OutboxKeepsEachProducersOrderWhileTheListenerDrains) {
    Outbox box;
    std::mutex kick_m;
    std::condition_variable kick_cv;
    bool kicked = false;
    box.open([&] {
        {
            std::lock_guard lock(kick_m);
            kicked = true;
        }
        kick_cv.notify_one();
    });
    constexpr int kProducers = 6, kEach = 800;
    std::atomic<int> done{0};
    std::atomic<int> not_written{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int k = 0; k < kEach; ++k) {
                std::string body = k % 200 == 7 ? std::string(CHUNK_SIZE + 10, 'z') : "p" + std::to_string(p);
                std::string json = R"({"type":"t","p":)" + std::to_string(p) + R"(,"k":)" + std::to_string(k) +
                                   R"(,"b":")" + body + "\"}";
                bool over = false;
                auto seq = box.post(json, {"t", "\"rid\""}, &over);
                if (over) box.wait_for_room();
                if (k % 100 == 0 && !box.wait_written(seq, 10s)) ++not_written;
            }
            ++done;
        });
    }
    // The listener: takes what is pending, "writes" it, marks it written.
    std::map<int, int> next;  // producer -> next k expected
    std::map<std::string, std::string> partial;
    int messages = 0, order_errors = 0;
    std::string wire;
    while (true) {
        {
            std::unique_lock lock(kick_m);
            kick_cv.wait_for(lock, 2ms, [&] { return kicked; });
            kicked = false;
        }
        auto seq = box.take(wire);
        for (const auto& f : frames_of(wire)) {
            auto v = boost::json::parse(f).as_object();
            std::string text;
            if (v.at("type") == "chunk") {
                auto& buf = partial[std::string(v.at("chunk_id").as_string())];
                buf += v.at("data").as_string();
                if (v.at("chunk_index").as_int64() + 1 < v.at("total_chunks").as_int64()) continue;
                text = buf;
            } else {
                text = f;
            }
            auto m = boost::json::parse(text).as_object();
            int p = int(m.at("p").as_int64()), k = int(m.at("k").as_int64());
            if (next[p] != k) ++order_errors;
            next[p] = k + 1;
            ++messages;
        }
        box.mark_written(seq);
        if (done == kProducers && box.pending_bytes() == 0) break;
    }
    for (auto& t : producers) t.join();
    EXPECT_EQ(messages, kProducers * kEach);
    EXPECT_EQ(order_errors, 0);
    EXPECT_EQ(not_written, 0);
}

TEST(Concurrency, ClosingTheOutboxReleasesProducersWaitingForRoom) {
    Outbox box;
    box.open(nullptr);  // nobody drains: producers run into the high-water mark
    constexpr int kProducers = 4;
    std::atomic<int> released{0}, waiting{0};
    std::vector<std::thread> producers;
    const std::string big(1 << 20, 'w');
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&] {
            for (;;) {
                bool over = false;
                auto seq = box.post(R"({"type":"t","b":")" + big + "\"}", {"t", {}}, &over);
                if (seq == 0) break;  // closed
                if (over) {
                    ++waiting;
                    box.wait_for_room();
                    --waiting;
                }
            }
            ++released;
        });
    }
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (waiting < kProducers && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(waiting, kProducers);
    EXPECT_LE(box.pending_bytes(), OUTBOX_HIGH_WATER + kProducers * ((1u << 20) + 64));
    box.close();
    for (auto& t : producers) t.join();
    EXPECT_EQ(released, kProducers);
    EXPECT_EQ(box.pending_bytes(), 0u);
}

TEST(Concurrency, WorkerPoolTakesTasksFromManyThreadsAndStopsWithTasksRunning) {
    test_support::ensure_python();
    std::atomic<int> ran{0}, blocked{0};
    std::atomic<bool> release{false};
    {
        WorkerPool pool("conc");
        pool.start(WORKER_POOL_SIZE);
        constexpr int kSubmitters = 4, kEach = 1500;
        std::vector<std::thread> submitters;
        for (int s = 0; s < kSubmitters; ++s) {
            submitters.emplace_back([&, s] {
                for (int k = 0; k < kEach; ++k) {
                    if (k % 500 == 0 && s < 2) {
                        // A task that blocks with the GIL released, as one waiting on the host does.
                        pool.submit([&](const GilHeld& gil) {
                            ++blocked;
                            GilRelease r(gil);
                            while (!release) std::this_thread::sleep_for(1ms);
                        });
                    }
                    pool.submit([&](const GilHeld&) { ++ran; });
                }
            });
        }
        for (auto& t : submitters) t.join();
        auto deadline = std::chrono::steady_clock::now() + 20s;
        while (ran < kSubmitters * kEach && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        EXPECT_EQ(ran, kSubmitters * kEach) << "blocked tasks held up the others";
        EXPECT_EQ(blocked, 6);
        // Stop with six tasks still running and more queued behind nothing.
        for (int k = 0; k < 100; ++k) pool.submit([&](const GilHeld&) { ++ran; });
        pool.shutdown();
        pool.submit([&](const GilHeld&) { ADD_FAILURE() << "a task submitted after shutdown ran"; });
        release = true;
    }  // the destructor joins the workers
    EXPECT_GE(ran, 4 * 1500);
}
