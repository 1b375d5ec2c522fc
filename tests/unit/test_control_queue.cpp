// The control thread's ordering: a task queued on a gated pool after a state change never runs
// before that change has been applied, and a failing change does not hold later tasks up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "kernel/control_queue.hpp"
#include "kernel/worker_pool.hpp"
#include "python_environment.hpp"

using namespace gridlet;

namespace {

template <class Pred>
bool wait_until(Pred pred, std::chrono::seconds limit = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

TEST(ControlQueue, GatedTasksSeeEveryEarlierChangeApplied) {
    test_support::ensure_python();
    ControlQueue control;
    control.start();
    WorkerPool pool("gated");
    pool.set_gate(&control);
    pool.start(4);
    std::atomic<int> state{0};
    std::atomic<int> wrong{0};
    std::atomic<int> done{0};
    for (int round = 1; round <= 200; ++round) {
        control.submit([&, round](const GilHeld& gil) {
            if (round % 50 == 0) {
                GilRelease slow(gil);  // a slow change: later tasks must wait for it
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            if (round % 7 == 0) {
                state = round;
                throw std::runtime_error("a failing change still counts as applied");
            }
            state = round;
        });
        pool.submit([&, round](const GilHeld&) {
            if (state.load() < round) ++wrong;
            ++done;
        });
    }
    ASSERT_TRUE(wait_until([&] { return done == 200; }));
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(control.ticket(), 200u);
    EXPECT_TRUE(control.wait_applied_for(200, std::chrono::milliseconds(1000)));
    pool.shutdown();
    control.shutdown();
}

TEST(ControlQueue, UngatedWorkAndTasksBeforeAnyChangeDoNotWait) {
    test_support::ensure_python();
    ControlQueue control;
    control.start();
    WorkerPool pool("free");
    pool.set_gate(&control);
    pool.start(2);
    std::atomic<bool> ran{false};
    pool.submit([&](const GilHeld&) { ran = true; });  // ticket 0: nothing to wait for
    ASSERT_TRUE(wait_until([&] { return ran.load(); }));

    std::atomic<bool> release{false};
    control.submit([&](const GilHeld& gil) {
        GilRelease r(gil);
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    std::atomic<bool> gated_ran{false};
    pool.submit([&](const GilHeld&) { gated_ran = true; });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(gated_ran) << "a task ran before the change queued ahead of it";
    EXPECT_FALSE(control.wait_applied_for(1, std::chrono::milliseconds(10)));
    release = true;
    ASSERT_TRUE(wait_until([&] { return gated_ran.load(); }));
    pool.shutdown();
    control.shutdown();
}
