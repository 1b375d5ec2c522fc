// Plays the Business Layer for one or more kernels and runs the measurement scenarios.
#pragma once

#include "kernel_link.hpp"
#include "kernel_process.hpp"

#include <boost/json/value.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

struct Options {
    std::string kernel_path;
    std::string echo_kernel_path;  // the floor: gridlet-echo-kernel
    std::string workbook_id = "bench-wb";
    std::string log_path;  // where the kernel's stdout/stderr go; empty: inherited
    std::string log_level = "WARNING";
    std::vector<std::string> scenarios;  // empty: all
    bool json = false;
    int spawns = 10;
    int rtt_calls = 5000;
    int warmup = 100;
    int storm_calls = 20000;
    int storm_warmup = 20000;  // unmeasured calls of a storm before the measured one
    int stream_values = 100000;
    int print_lines = 100000;
    std::size_t big_bytes = 16u * 1024 * 1024;
    int interrupts = 100;
    int cells_rows = 1000;  // the 1,000,000-cell scenarios: rows x cols (the frame: 10x the rows, cols / 10)
    int cells_cols = 1000;
    double idle_timeout_s = 20.0;     // a scenario fails when nothing arrives for this long
    double connect_timeout_s = 15.0;  // spawn to WebSocket upgrade
    double exit_timeout_s = 10.0;     // shutdown message to process exit
    // soak
    std::int64_t soak_calls = 1000000;
    std::int64_t soak_stream_values = 100000;
    int soak_sys_requests = 10000;
    int soak_chunked = 1000;
    int soak_rounds = 1;             // the whole load this many times over
    double soak_rss_slack_mb = 8.0;  // allowed growth of resident memory after warm-up
};

struct Figure {
    std::string name;
    double value;
    std::string unit;
};

struct ScenarioResult {
    std::string name;
    bool ok = true;
    std::string error;
    std::vector<Figure> figures;
    std::vector<std::string> notes;

    void fail(std::string why) {
        if (ok) error = std::move(why);
        ok = false;
    }
};

class Runner;

// The one list of scenarios, in the order they run: name, whether it runs when no --scenario is
// given (all but the long soak), what it does (for --help), and the member that runs it.
struct ScenarioEntry {
    const char* name;
    bool by_default;
    const char* summary;
    asio::awaitable<void> (Runner::*run)(struct ScenarioResult&);
};
const std::vector<ScenarioEntry>& scenario_registry();

const std::vector<std::string>& all_scenarios();
const std::vector<std::string>& default_scenarios();

class Runner {
    friend const std::vector<ScenarioEntry>& scenario_registry();

public:
    Runner(asio::io_context& ioc, Options options);
    asio::awaitable<void> run();
    const std::vector<ScenarioResult>& results() const { return results_; }
    std::string summary_json() const;

private:
    struct Session {
        std::unique_ptr<KernelProcess> proc;
        std::shared_ptr<KernelLink> link;
        std::function<void(std::string_view)> handler;  // the running scenario's
        bool module_sent = false;
        Clock::time_point spawned, connected;
        // The link may outlive the session for a moment (its coroutines hold it); make sure it no
        // longer calls back into a session that is gone.
        ~Session() {
            if (link) {
                link->set_handler(nullptr);
                link->abort();
            }
        }
    };

    // Starts `path` (default: the kernel) and accepts its connection.
    asio::awaitable<std::unique_ptr<Session>> start_kernel(const std::string& path = {});
    // Sends `shutdown`, waits for the process to end, kills it by pid if it does not.
    asio::awaitable<void> stop_kernel(Session& s, ScenarioResult* r, double* shutdown_ms = nullptr);
    // The shared kernel for the measurement scenarios, started on first use or after a failure.
    asio::awaitable<Session*> shared_session(ScenarioResult& r);
    void on_message(Session& s, std::string_view msg);

    // Waits for `done`; fails `r` when the connection ends or nothing arrives for the idle time.
    asio::awaitable<bool> wait_done(Session& s, Signal& done, ScenarioResult& r, std::string_view what);
    asio::awaitable<void> sleep(double seconds);
    // Sends the benchmark module and waits for module_updated.
    asio::awaitable<bool> ensure_module(Session& s, ScenarioResult& r);
    // Sends module `name` with update_module and waits for its module_updated.
    asio::awaitable<bool> send_module(Session& s, ScenarioResult& r, std::string_view name, std::string_view source);

    void figure(ScenarioResult& r, std::string name, double value, std::string unit);

    asio::awaitable<void> scenario_startup(ScenarioResult& r);
    asio::awaitable<void> scenario_exec_rtt(ScenarioResult& r);
    asio::awaitable<void> scenario_print_flood(ScenarioResult& r);
    asio::awaitable<void> scenario_cfc_rtt(ScenarioResult& r);
    asio::awaitable<void> scenario_cfc_storm(ScenarioResult& r);
    asio::awaitable<void> scenario_streaming(ScenarioResult& r);
    asio::awaitable<void> scenario_big_result(ScenarioResult& r);
    asio::awaitable<void> scenario_interrupt(ScenarioResult& r);
    asio::awaitable<void> scenario_soak(ScenarioResult& r);
    asio::awaitable<void> scenario_floor_rtt(ScenarioResult& r);
    asio::awaitable<void> scenario_cells_list(ScenarioResult& r);
    asio::awaitable<void> scenario_cells_numpy(ScenarioResult& r);
    asio::awaitable<void> scenario_cells_frame(ScenarioResult& r);
    asio::awaitable<void> scenario_cells_in(ScenarioResult& r);

    // Memory of a kernel around one large call (cells.cpp): resets the peak (VmHWM) before it;
    // after it reports `peak_rss_mb`, then `rss_after_mb` (VmRSS 1 s later).
    void reset_peak(Session& s, ScenarioResult& r);
    asio::awaitable<void> memory_after(Session& s, ScenarioResult& r);
    // One custom_function_call of benchmod.`function` whose joined function_execution_result is
    // given to `check` (after the clock stopped); the request goes as chunk messages when `chunked`.
    // With `warm_args`, an unmeasured call with those arguments goes first (imports, first use).
    // Figures: total_ms, peak_rss_mb, rss_after_mb, wire_mb.
    // One storm of `n` pipelined calls of benchmod.add with request ids `id_prefix` + number:
    // the seconds from the first send to the last reply (0 when it failed; `r` says why).
    asio::awaitable<double> storm_round(Session& s, ScenarioResult& r, int n, std::string_view id_prefix);
    asio::awaitable<void> large_call(ScenarioResult& r, std::string_view function, const std::string& args_json,
                                     bool chunked, const std::function<std::string(const boost::json::value&)>& check,
                                     std::string_view warm_args = {});

    // Parts of the soak scenario (soak.cpp).
    struct ProcessCounts;
    ProcessCounts process_counts(Session& s);
    asio::awaitable<bool> soak_module(Session& s, ScenarioResult& r);
    asio::awaitable<bool> soak_calls(Session& s, ScenarioResult& r, std::int64_t n, std::string_view prefix);
    asio::awaitable<bool> soak_stream(Session& s, ScenarioResult& r, std::int64_t n, std::string_view id);
    asio::awaitable<bool> soak_sys_requests(Session& s, ScenarioResult& r, int workers, int per_worker,
                                            std::string_view prefix, std::uint64_t& round_trips);
    asio::awaitable<bool> soak_chunked(Session& s, ScenarioResult& r, int n, std::string_view prefix,
                                       std::uint64_t& chunked_in);
    // Like wait_done, but returns (true) after `seconds` even when `done` has not fired.
    asio::awaitable<bool> wait_done_for(Session& s, Signal& done, ScenarioResult& r, double seconds);

    // Sequential round trips: `make(i)` builds request i, the reply is the message of `reply_type`
    // carrying request id `id(i)`; `check` validates it (empty string = fine, else the failure).
    asio::awaitable<void> sequential_rtt(ScenarioResult& r, int calls, std::string_view reply_type,
                                         const std::function<std::string(int)>& make,
                                         const std::function<std::string(int)>& id,
                                         const std::function<std::string(std::string_view)>& check,
                                         Session* session = nullptr, std::string_view figure_prefix = {});

    asio::io_context& ioc_;
    Options opt_;
    tcp::acceptor acceptor_;
    unsigned short port_ = 0;
    std::unique_ptr<Session> shared_;
    pid_t cpu_pid_ = -1;  // kernel whose CPU the running scenario measures
    double kernel_cpu0_ = 0, bench_cpu0_ = 0;
    std::vector<ScenarioResult> results_;
};

}  // namespace bench
