#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "kernel/worker_pool.hpp"
#include "messaging/host_requests.hpp"
#include "python_environment.hpp"

using namespace gridlet;

TEST(HostRequests, AnswersReachTheirOwnWaiterInAnyOrder) {
    HostRequests table;
    HostRequests::Waiter a, b;
    table.add("a", &a);
    table.add("b", &b);
    std::string got_a, got_b;
    std::thread ta([&] {
        ASSERT_TRUE(table.wait("a", a, 5.0));
        got_a = a.payload.at("v").as_string();
    });
    std::thread tb([&] {
        ASSERT_TRUE(table.wait("b", b, 5.0));
        got_b = b.payload.at("v").as_string();
    });
    EXPECT_TRUE(table.deliver("b", {{"v", "for b"}}));
    EXPECT_TRUE(table.deliver("a", {{"v", "for a"}}));
    ta.join();
    tb.join();
    EXPECT_EQ(got_a, "for a");
    EXPECT_EQ(got_b, "for b");
    EXPECT_EQ(table.size(), 0u);
}

TEST(HostRequests, TimeoutForgetsTheRequestAndLateAnswersAreDropped) {
    HostRequests table;
    HostRequests::Waiter w;
    table.add("slow", &w);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(table.wait("slow", w, 0.05));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(45));
    EXPECT_EQ(table.size(), 0u);
    EXPECT_FALSE(table.deliver("slow", {{"late", true}}));
    EXPECT_FALSE(table.deliver("never-asked", {}));
    EXPECT_EQ(table.size(), 0u);
}

TEST(HostRequests, ClosingWakesWaitersAndRefusesNewOnes) {
    HostRequests table;
    HostRequests::Waiter w;
    table.add("x", &w);
    std::thread t([&] { EXPECT_FALSE(table.wait("x", w, 10.0)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    table.cancel_all();
    t.join();
    EXPECT_TRUE(w.cancelled);
    HostRequests::Waiter later;
    table.add("y", &later);
    EXPECT_FALSE(table.wait("y", later, 10.0));
}

TEST(WorkerPool, BlockedTaskDoesNotHoldUpTheNext) {
    test_support::ensure_python();
    WorkerPool pool("test");
    pool.start(3);
    std::atomic<bool> release{false};
    std::atomic<int> done{0};
    pool.submit([&](const GilHeld& gil) {
        GilRelease r(gil);  // blocking without the GIL, as a waiting sys_request does
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ++done;
    });
    pool.submit([&](const GilHeld&) { ++done; });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (done < 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(done, 1) << "the second task ran while the first was blocked";
    release = true;
    while (done < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(done, 2);
    pool.shutdown();
}

TEST(WorkerPool, RunsEveryTaskOfABurst) {
    test_support::ensure_python();
    WorkerPool pool("burst");
    pool.start(4);
    std::atomic<int> done{0};
    for (int i = 0; i < 5000; ++i) pool.submit([&](const GilHeld&) { ++done; });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (done < 5000 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(done, 5000);
    pool.shutdown();
}
