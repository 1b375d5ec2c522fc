#include "runner.hpp"

#include "wire.hpp"

#include <boost/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <stdexcept>

namespace bench {

namespace json = boost::json;
using namespace std::chrono_literals;

namespace {

constexpr std::string_view kModule = "benchmod";

// The workbook module the function-call scenarios call into.
constexpr std::string_view kModuleSource =
    "def add(a, b):\n"
    "    return a + b\n"
    "\n"
    "def gen(n):\n"
    "    yield from range(n)\n"
    "\n"
    "def big(n):\n"
    "    return \"x\" * n\n"
    "\n"
    "def echo(value):\n"
    "    return value\n"
    "\n"
    "def cells_list(rows, cols):\n"
    "    return [[(r * cols + c) / 7 for c in range(cols)] for r in range(rows)]\n"
    "\n"
    "def cells_numpy(rows, cols):\n"
    "    import numpy\n"
    "    return numpy.arange(rows * cols).reshape(rows, cols) / 7\n"
    "\n"
    "def cells_frame(rows, cols):\n"
    "    import numpy, pandas\n"
    "    return pandas.DataFrame(numpy.arange(rows * cols).reshape(rows, cols) / 7)\n"
    "\n"
    "def cells_count(rows):\n"
    "    return [len(rows), sum(len(r) for r in rows), rows[-1][-1]]\n";

double ms_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double us_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::micro>(b - a).count();
}

// Nearest-rank percentile of sorted values.
double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return NAN;
    auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * sorted.size()));
    if (rank == 0) rank = 1;
    return sorted[std::min(rank, sorted.size()) - 1];
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return percentile(v, 50);
}

std::string exec_request(std::string_view code, std::string_view id) {
    std::string s = R"({"type":"execution_request","code":)";
    append_json_string(s, code);
    s += R"(,"request_id":)";
    append_json_string(s, id);
    s += R"(,"source":"bench"})";
    return s;
}

std::string seconds_text(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g s", s);
    return buf;
}

std::string id_needle(std::string_view id) { return "\"request_id\":" + json_string(id); }

// Clears the session's scenario handler when a scenario's frame ends, so no handler outlives
// the locals it refers to.
struct HandlerScope {
    std::function<void(std::string_view)>* slot;
    ~HandlerScope() {
        if (slot) *slot = nullptr;
    }
};

}  // namespace

const std::vector<ScenarioEntry>& scenario_registry() {
    static const std::vector<ScenarioEntry> entries = {
        {"startup", true, "kernels started, connected, asked 1 + 1 and shut down", &Runner::scenario_startup},
        {"floor_rtt", true, "round trips to gridlet-echo-kernel (no Python): the floor", &Runner::scenario_floor_rtt},
        {"exec_rtt", true, "sequential execution_request round trips", &Runner::scenario_exec_rtt},
        {"print_flood", true, "one run printing many lines", &Runner::scenario_print_flood},
        {"cfc_rtt", true, "sequential custom_function_call round trips", &Runner::scenario_cfc_rtt},
        {"cfc_storm", true, "pipelined custom_function_call", &Runner::scenario_cfc_storm},
        {"streaming", true, "one streamed generator", &Runner::scenario_streaming},
        {"big_result", true, "a 16 MiB string result, chunked", &Runner::scenario_big_result},
        {"cells_list", true, "1,000,000 float cells returned as a list of rows", &Runner::scenario_cells_list},
        {"cells_numpy", true, "1,000,000 float cells returned as a numpy array", &Runner::scenario_cells_numpy},
        {"cells_frame", true, "1,000,000 float cells returned as a pandas DataFrame", &Runner::scenario_cells_frame},
        {"cells_in", true, "1,000,000 float cells received as the argument, chunked", &Runner::scenario_cells_in},
        {"interrupt", true, "interrupts of a running loop", &Runner::scenario_interrupt},
        {"soak", false, "long mixed load with memory and resource checks", &Runner::scenario_soak},
    };
    return entries;
}

const std::vector<std::string>& all_scenarios() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const auto& e : scenario_registry()) v.push_back(e.name);
        return v;
    }();
    return names;
}

const std::vector<std::string>& default_scenarios() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const auto& e : scenario_registry())
            if (e.by_default) v.push_back(e.name);
        return v;
    }();
    return names;
}

Runner::Runner(asio::io_context& ioc, Options options) : ioc_(ioc), opt_(std::move(options)), acceptor_(ioc) {
    tcp::endpoint ep(asio::ip::make_address("127.0.0.1"), 0);
    acceptor_.open(ep.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(ep);
    acceptor_.listen();
    port_ = acceptor_.local_endpoint().port();
}

void Runner::figure(ScenarioResult& r, std::string name, double value, std::string unit) {
    r.figures.push_back({r.name + "." + name, value, std::move(unit)});
}

asio::awaitable<void> Runner::sleep(double seconds) {
    asio::steady_timer t(ioc_);
    t.expires_after(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
    boost::system::error_code ec;
    co_await t.async_wait(asio::redirect_error(asio::use_awaitable, ec));
}

asio::awaitable<std::unique_ptr<Runner::Session>> Runner::start_kernel(const std::string& path) {
    auto s = std::make_unique<Session>();
    SpawnOptions so;
    so.kernel_path = path.empty() ? opt_.kernel_path : path;
    so.workbook_id = opt_.workbook_id;
    so.port = port_;
    so.log_level = opt_.log_level;
    so.log_path = opt_.log_path;
    s->spawned = Clock::now();
    s->proc = std::make_unique<KernelProcess>(so);

    // The accept callback owns its state, so a cancelled accept never touches this frame.
    struct AcceptState {
        explicit AcceptState(asio::any_io_executor ex) : done(ex) {}
        std::optional<tcp::socket> socket;
        boost::system::error_code ec;
        Signal done;
    };
    auto st = std::make_shared<AcceptState>(ioc_.get_executor());
    acceptor_.async_accept([st](boost::system::error_code ec, tcp::socket sock) {
        st->ec = ec;
        if (!ec) st->socket.emplace(std::move(sock));
        st->done.fire();
    });
    auto deadline =
        s->spawned + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt_.connect_timeout_s));
    std::string error;
    while (!st->done.fired()) {
        co_await st->done.wait_for(5ms);
        if (st->done.fired()) break;
        if (s->proc->poll_exit()) {
            error = "kernel exited before connecting (" + s->proc->exit_text() + ")";
        } else if (Clock::now() > deadline) {
            error = "kernel did not connect within " + seconds_text(opt_.connect_timeout_s);
            s->proc->kill_now();
        }
        if (!error.empty()) {
            boost::system::error_code ig;
            acceptor_.cancel(ig);
            co_await st->done.wait_for(1s);
            break;
        }
    }
    if (error.empty() && st->ec) error = "accept failed: " + st->ec.message();
    if (error.empty() && !st->socket) error = "accept failed";
    if (!error.empty()) {
        if (!opt_.log_path.empty()) error += " (kernel log: " + opt_.log_path + ")";
        throw std::runtime_error(error);
    }

    auto link = std::make_shared<KernelLink>(ioc_.get_executor());
    auto limit = deadline - Clock::now();
    if (limit < 1s) limit = 1s;
    std::string target = co_await link->accept(std::move(*st->socket), limit);
    s->connected = Clock::now();
    s->link = link;
    std::string expected = "/ws/kernel/" + opt_.workbook_id;
    if (target != expected)
        std::fprintf(stderr, "warning: kernel asked for %s, expected %s\n", target.c_str(), expected.c_str());
    Session* raw = s.get();
    link->start([this, raw](std::string_view m) { on_message(*raw, m); });
    co_return s;
}

void Runner::on_message(Session& s, std::string_view msg) {
    std::string scratch;
    auto type = message_type(msg, scratch);
    if (type == "request_module_sync") {
        // Answer like the Business Layer would: send the module's source.
        if (auto name = string_field(msg, "module_name"); name && *name == kModule) {
            std::string m = R"({"type":"update_module","module_name":)";
            append_json_string(m, kModule);
            m += R"(,"code":)";
            append_json_string(m, kModuleSource);
            m += "}";
            s.link->send(m);
        }
    }
    if (s.handler) s.handler(msg);
}

asio::awaitable<void> Runner::stop_kernel(Session& s, ScenarioResult* r, double* shutdown_ms) {
    auto t0 = Clock::now();
    auto note = [&](std::string text) {
        if (r) r->notes.push_back(std::move(text));
    };
    if (s.proc->poll_exit()) {
        if (s.proc->exit_code() != 0) note("kernel had already ended with " + s.proc->exit_text());
        if (s.link) s.link->abort();
        s.handler = nullptr;
        co_return;
    }
    if (s.link && s.link->open()) s.link->send(R"({"type":"shutdown"})");
    auto wait_exit = [&](double seconds) -> asio::awaitable<bool> {
        auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        while (Clock::now() < until) {
            if (s.proc->poll_exit()) co_return true;
            co_await sleep(0.002);
        }
        co_return s.proc->poll_exit();
    };
    bool exited = co_await wait_exit(opt_.exit_timeout_s);
    if (shutdown_ms) *shutdown_ms = ms_between(t0, Clock::now());
    if (!exited) {
        note("kernel did not exit within " + seconds_text(opt_.exit_timeout_s) + " of shutdown");
        if (s.link && s.link->open()) {
            s.link->send_close();
            exited = co_await wait_exit(2.0);
        }
        if (!exited) {
            s.proc->kill_now();
            note("kernel killed (pid " + std::to_string(s.proc->pid()) + ")");
        }
    } else if (s.proc->exit_code() != 0) {
        note("kernel ended with " + s.proc->exit_text() + " after shutdown");
    }
    if (s.link) s.link->abort();
    s.handler = nullptr;
}

asio::awaitable<Runner::Session*> Runner::shared_session(ScenarioResult& r) {
    if (shared_ && (!shared_->link->open() || shared_->proc->poll_exit())) {
        r.notes.push_back("kernel connection was lost (" + shared_->link->close_reason() + ", " +
                          shared_->proc->exit_text() + "); starting a new kernel");
        co_await stop_kernel(*shared_, nullptr);
        shared_.reset();
    }
    if (!shared_) {
        std::string error;
        try {
            shared_ = co_await start_kernel();
        } catch (const std::exception& e) {
            error = e.what();
        }
        if (!shared_) {
            r.fail("cannot start the kernel: " + error);
            co_return nullptr;
        }
    }
    if (cpu_pid_ != shared_->proc->pid()) {
        cpu_pid_ = shared_->proc->pid();
        kernel_cpu0_ = shared_->proc->cpu_ms().value_or(0);
        bench_cpu0_ = self_cpu_ms();
    }
    co_return shared_.get();
}

asio::awaitable<bool> Runner::wait_done(Session& s, Signal& done, ScenarioResult& r, std::string_view what) {
    auto idle = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt_.idle_timeout_s));
    auto started = Clock::now();
    while (!done.fired()) {
        co_await done.wait_for(100ms);
        if (done.fired()) break;
        if (!s.link->open()) {
            s.proc->poll_exit();
            r.fail(std::string(what) + ": connection ended (" + s.link->close_reason() + "; kernel " +
                   s.proc->exit_text() + ")");
            co_return false;
        }
        auto now = Clock::now();
        if (now - std::max(s.link->last_receive(), started) > idle) {
            r.fail(std::string(what) + ": nothing received for " + seconds_text(opt_.idle_timeout_s));
            co_return false;
        }
    }
    co_return r.ok;
}

asio::awaitable<bool> Runner::send_module(Session& s, ScenarioResult& r, std::string_view name,
                                          std::string_view source) {
    Signal done(ioc_.get_executor());
    HandlerScope scope{&s.handler};
    s.handler = [&](std::string_view m) {
        std::string scratch;
        auto t = message_type(m, scratch);
        if (t == "module_updated" && contains(m, name)) {
            done.fire();
        } else if (t == "error") {
            r.fail("update_module answered with error: " + excerpt(m));
            done.fire();
        }
    };
    std::string m = R"({"type":"update_module","module_name":)";
    append_json_string(m, name);
    m += R"(,"code":)";
    append_json_string(m, source);
    m += "}";
    s.link->send(m);
    const std::string what = "waiting for module_updated of " + std::string(name);  // named: outlives the wait
    co_return co_await wait_done(s, done, r, what);
}

asio::awaitable<bool> Runner::ensure_module(Session& s, ScenarioResult& r) {
    if (s.module_sent) co_return true;
    s.module_sent = co_await send_module(s, r, kModule, kModuleSource);
    co_return s.module_sent;
}

asio::awaitable<void> Runner::sequential_rtt(ScenarioResult& r, int calls, std::string_view reply_type,
                                             const std::function<std::string(int)>& make,
                                             const std::function<std::string(int)>& id,
                                             const std::function<std::string(std::string_view)>& check,
                                             Session* session, std::string_view figure_prefix) {
    Session* s = session ? session : co_await shared_session(r);
    if (!s) co_return;
    if (reply_type == "function_execution_result" && !co_await ensure_module(*s, r)) co_return;

    Signal done(ioc_.get_executor());
    const int total = opt_.warmup + calls;
    int i = 0;
    std::vector<double> lat;
    lat.reserve(calls);
    Clock::time_point sent;
    std::string needle;
    auto send_next = [&] {
        needle = id_needle(id(i));
        auto frame = make(i);
        sent = Clock::now();
        s->link->send(frame);
    };
    HandlerScope scope{&s->handler};
    s->handler = [&](std::string_view m) {
        std::string scratch;
        auto t = message_type(m, scratch);
        if (t == reply_type) {
            if (!contains(m, needle)) return;
            auto now = Clock::now();
            if (auto why = check(m); !why.empty()) {
                r.fail(why);
                done.fire();
                return;
            }
            if (i >= opt_.warmup) lat.push_back(us_between(sent, now));
            if (++i == total) {
                done.fire();
                return;
            }
            send_next();
        } else if ((t == "execution_error" && contains(m, needle)) || t == "error") {
            r.fail("request " + std::to_string(i) + " answered with: " + excerpt(m, 600));
            done.fire();
        }
    };
    send_next();
    // Named locals rather than temporaries inside co_await expressions: g++ 12 mishandles the latter.
    const std::string what = "waiting for " + std::string(reply_type);
    if (!co_await wait_done(*s, done, r, what)) co_return;
    std::sort(lat.begin(), lat.end());
    double mean = std::accumulate(lat.begin(), lat.end(), 0.0) / lat.size();
    const std::string pre(figure_prefix);
    figure(r, pre + "p50", percentile(lat, 50), "us");
    figure(r, pre + "p99", percentile(lat, 99), "us");
    figure(r, pre + "mean", mean, "us");
    figure(r, pre + "max", lat.back(), "us");
    figure(r, pre + "calls", static_cast<double>(lat.size()), "");
    figure(r, pre + "calls_per_s", lat.size() / (mean * lat.size() / 1e6), "1/s");
}

// Spawn to connected, idle memory, first request and shutdown, over several kernels.
asio::awaitable<void> Runner::scenario_startup(ScenarioResult& r) {
    std::vector<double> connect, first, ready, shutdown;
    std::optional<double> idle_rss;
    bool exec_works = true;
    for (int k = 0; k < opt_.spawns; ++k) {
        std::unique_ptr<Session> s;
        std::string error;
        try {
            s = co_await start_kernel();
        } catch (const std::exception& e) {
            error = e.what();
        }
        if (!s) {
            r.fail("spawn " + std::to_string(k) + ": " + error);
            break;
        }
        connect.push_back(ms_between(s->spawned, s->connected));
        if (k == 0) {
            co_await sleep(1.0);
            idle_rss = s->proc->status_mb("VmRSS");
        }
        if (exec_works) {
            Signal done(ioc_.get_executor());
            std::string id = "startup-" + std::to_string(k), needle = id_needle(id), bad;
            Clock::time_point t0 = Clock::now(), t1;
            HandlerScope scope{&s->handler};
            s->handler = [&](std::string_view m) {
                std::string scratch;
                auto t = message_type(m, scratch);
                if (t == "execution_result" && contains(m, needle)) {
                    t1 = Clock::now();
                    done.fire();
                } else if (t == "execution_error" || t == "error") {
                    bad = excerpt(m, 600);
                    done.fire();
                }
            };
            s->link->send(exec_request("1 + 1", id));
            ScenarioResult probe;
            bool ok = co_await wait_done(*s, done, probe, "first execution_request");
            if (ok && bad.empty()) {
                // The first kernel idled for a second before its request; with more than one spawn it
                // is left out of the request figures, which are about a kernel asked at once.
                if (k > 0 || opt_.spawns == 1) {
                    first.push_back(ms_between(t0, t1));
                    ready.push_back(ms_between(s->spawned, t1));
                }
            } else {
                exec_works = false;
                r.fail("first execution_request failed: " + (bad.empty() ? probe.error : bad));
            }
        }
        double sd = 0;
        co_await stop_kernel(*s, &r, &sd);
        shutdown.push_back(sd);
    }
    if (!connect.empty()) {
        figure(r, "connect_ms", median(connect), "ms");
        figure(r, "connect_ms_min", *std::min_element(connect.begin(), connect.end()), "ms");
        figure(r, "connect_ms_max", *std::max_element(connect.begin(), connect.end()), "ms");
        figure(r, "spawns", static_cast<double>(connect.size()), "");
    }
    if (idle_rss) figure(r, "idle_rss_mb", *idle_rss, "MB");
    if (!first.empty()) figure(r, "first_exec_ms", median(first), "ms");
    if (!ready.empty()) figure(r, "ready_ms", median(ready), "ms");
    if (!shutdown.empty()) figure(r, "shutdown_ms", median(shutdown), "ms");
}

asio::awaitable<void> Runner::scenario_exec_rtt(ScenarioResult& r) {
    const std::function<std::string(int)> make = [](int i) {
        return exec_request("1 + 1", "rtt-" + std::to_string(i));
    };
    const std::function<std::string(int)> id = [](int i) { return "rtt-" + std::to_string(i); };
    const std::function<std::string(std::string_view)> check = [](std::string_view m) -> std::string {
        return contains(m, R"("result":"2")") ? "" : "unexpected execution_result: " + excerpt(m);
    };
    co_await sequential_rtt(r, opt_.rtt_calls, "execution_result", make, id, check);
}

// The same round trips to gridlet-echo-kernel, which answers without Python: what the socket,
// the framing and one JSON parse cost on this machine, measured in the same run.
asio::awaitable<void> Runner::scenario_floor_rtt(ScenarioResult& r) {
    std::unique_ptr<Session> s;
    std::string error;
    try {
        s = co_await start_kernel(opt_.echo_kernel_path);
    } catch (const std::exception& e) {
        error = e.what();
    }
    if (!s) {
        r.fail("cannot start " + opt_.echo_kernel_path + ": " + error);
        co_return;
    }
    s->module_sent = true;  // it answers calls without any module
    const std::function<std::string(int)> exec_make = [](int i) {
        return exec_request("1 + 1", "floor-e-" + std::to_string(i));
    };
    const std::function<std::string(int)> exec_id = [](int i) { return "floor-e-" + std::to_string(i); };
    const std::function<std::string(std::string_view)> exec_check = [](std::string_view m) -> std::string {
        return contains(m, R"("result":"2")") ? "" : "unexpected execution_result: " + excerpt(m);
    };
    co_await sequential_rtt(r, opt_.rtt_calls, "execution_result", exec_make, exec_id, exec_check, s.get(), "exec_");
    const std::string wb = opt_.workbook_id;
    const std::function<std::string(int)> cfc_make = [wb](int i) {
        return call_request(wb, "add", "[1,2]", "floor-c-" + std::to_string(i), kModule);
    };
    const std::function<std::string(int)> cfc_id = [](int i) { return "floor-c-" + std::to_string(i); };
    const std::function<std::string(std::string_view)> cfc_check = [](std::string_view m) -> std::string {
        return contains(m, R"("result":3)") ? "" : "unexpected result: " + excerpt(m);
    };
    if (r.ok)
        co_await sequential_rtt(r, opt_.rtt_calls, "function_execution_result", cfc_make, cfc_id, cfc_check, s.get(),
                                "cfc_");
    co_await stop_kernel(*s, &r);
}

// Interrupts of a running pure-Python loop, one after the other: from the interrupt_request to
// the interrupt_reply, and to the run's execution_error (KeyboardInterrupt).
asio::awaitable<void> Runner::scenario_interrupt(ScenarioResult& r) {
    Session* s = co_await shared_session(r);
    if (!s) co_return;
    Signal started(ioc_.get_executor()), replied(ioc_.get_executor()), ended(ioc_.get_executor());
    std::string id, needle;
    Clock::time_point sent, reply_at, end_at;
    HandlerScope scope{&s->handler};
    s->handler = [&](std::string_view m) {
        std::string scratch;
        auto t = message_type(m, scratch);
        if (!contains(m, needle)) {
            if (t == "error") {
                r.fail("answered with: " + excerpt(m, 600));
                started.fire(), replied.fire(), ended.fire();
            }
            return;
        }
        if (t == "stdout") {
            started.fire();
        } else if (t == "interrupt_reply") {
            reply_at = Clock::now();
            if (!contains(m, "\"interrupted\":[" + json_string(id) + "]")) r.fail("run not interrupted: " + excerpt(m));
            replied.fire();
        } else if (t == "execution_error") {
            end_at = Clock::now();
            if (!contains(m, R"("type":"KeyboardInterrupt")")) r.fail("unexpected failure: " + excerpt(m, 600));
            ended.fire();
        } else if (t == "execution_result") {
            r.fail("the loop ended by itself: " + excerpt(m));
            started.fire(), ended.fire();
        }
    };
    std::vector<double> to_reply, to_end;
    for (int i = 0; i < opt_.interrupts && r.ok; ++i) {
        id = "intr-" + std::to_string(i);
        needle = id_needle(id);
        started.reset(), replied.reset(), ended.reset();
        s->link->send(exec_request("print('go')\nn = 0\nwhile True:\n    n += 1", id));
        if (!co_await wait_done(*s, started, r, "waiting for the loop to start")) co_return;
        std::string req = R"({"type":"interrupt_request","request_id":)" + json_string(id) + "}";
        sent = Clock::now();
        s->link->send(req);
        if (!co_await wait_done(*s, replied, r, "waiting for interrupt_reply")) co_return;
        if (!co_await wait_done(*s, ended, r, "waiting for the interrupted run's execution_error")) co_return;
        if (!r.ok) co_return;
        to_reply.push_back(us_between(sent, reply_at) / 1000.0);
        to_end.push_back(us_between(sent, end_at) / 1000.0);
    }
    std::sort(to_reply.begin(), to_reply.end());
    std::sort(to_end.begin(), to_end.end());
    figure(r, "tries", static_cast<double>(to_end.size()), "");
    figure(r, "reply_p50", percentile(to_reply, 50), "ms");
    figure(r, "reply_p99", percentile(to_reply, 99), "ms");
    figure(r, "end_p50", percentile(to_end, 50), "ms");
    figure(r, "end_p99", percentile(to_end, 99), "ms");
    figure(r, "end_max", to_end.empty() ? NAN : to_end.back(), "ms");
}

asio::awaitable<void> Runner::scenario_print_flood(ScenarioResult& r) {
    Session* s = co_await shared_session(r);
    if (!s) co_return;
    Signal done(ioc_.get_executor());
    std::uint64_t count = 0, late = 0;
    std::string id = "flood-1", needle = id_needle(id);
    Clock::time_point t0, t1;
    HandlerScope scope{&s->handler};
    s->handler = [&](std::string_view m) {
        std::string scratch;
        auto t = message_type(m, scratch);
        if (t == "stdout") {
            if (done.fired()) ++late;
            else ++count;
        } else if (t == "execution_result" && contains(m, needle)) {
            t1 = Clock::now();
            done.fire();
        } else if ((t == "execution_error" && contains(m, needle)) || t == "error") {
            r.fail("answered with: " + excerpt(m, 600));
            done.fire();
        }
    };
    std::string code = "for i in range(" + std::to_string(opt_.print_lines) + "): print(i)";
    t0 = Clock::now();
    s->link->send(exec_request(code, id));
    const std::string what = "waiting for execution_result";
    if (!co_await wait_done(*s, done, r, what)) {
        r.notes.push_back(std::to_string(count) + " stdout messages had arrived");
        co_return;
    }
    co_await sleep(0.3);  // stream messages written after the reply would show up here
    double secs = ms_between(t0, t1) / 1000.0;
    std::uint64_t expected = 2ull * opt_.print_lines;
    figure(r, "messages", static_cast<double>(count), "");
    figure(r, "messages_per_s", count / secs, "1/s");
    figure(r, "total_ms", secs * 1000.0, "ms");
    if (auto hwm = s->proc->status_mb("VmHWM")) figure(r, "peak_rss_mb", *hwm, "MB");
    if (late) r.notes.push_back(std::to_string(late) + " stdout messages arrived after execution_result");
    if (count + late != expected)
        r.notes.push_back("expected " + std::to_string(expected) + " stdout messages, got " +
                          std::to_string(count + late));
}

asio::awaitable<void> Runner::scenario_cfc_rtt(ScenarioResult& r) {
    const std::string wb = opt_.workbook_id;
    const std::function<std::string(int)> make = [wb](int i) {
        return call_request(wb, "add", "[1,2]", "cfc-" + std::to_string(i), kModule);
    };
    const std::function<std::string(int)> id = [](int i) { return "cfc-" + std::to_string(i); };
    const std::function<std::string(std::string_view)> check = [](std::string_view m) -> std::string {
        if (!contains(m, R"("status":"success")")) return "call failed: " + excerpt(m, 600);
        if (!contains(m, R"("result":3)")) return "unexpected result: " + excerpt(m);
        return "";
    };
    co_await sequential_rtt(r, opt_.rtt_calls, "function_execution_result", make, id, check);
}

asio::awaitable<void> Runner::scenario_cfc_storm(ScenarioResult& r) {
    Session* s = co_await shared_session(r);
    if (!s) co_return;
    if (!co_await ensure_module(*s, r)) co_return;
    // An unmeasured storm first (--storm-warmup calls): the figure is the kernel's steady state,
    // not its first calls into fresh memory.
    if (opt_.storm_warmup > 0) {
        ScenarioResult warm;
        warm.name = r.name;
        co_await storm_round(*s, warm, opt_.storm_warmup, "storm-warm-");
        if (!warm.ok) {
            r.fail("warm-up: " + warm.error);
            co_return;
        }
    }
    const double secs = co_await storm_round(*s, r, opt_.storm_calls, "storm-");
    if (secs > 0) {
        figure(r, "calls", opt_.storm_calls, "");
        figure(r, "calls_per_s", opt_.storm_calls / secs, "1/s");
        figure(r, "total_ms", secs * 1000.0, "ms");
    }
}

asio::awaitable<double> Runner::storm_round(Session& session, ScenarioResult& r, int n, std::string_view id_prefix) {
    Session* s = &session;
    Signal done(ioc_.get_executor());
    int ok = 0, failed = 0, sent = 0;
    std::string first_failure;
    Clock::time_point t0, t1;
    HandlerScope scope{&s->handler};
    s->handler = [&](std::string_view m) {
        std::string scratch;
        auto t = message_type(m, scratch);
        if (t == "function_execution_result") {
            if (contains(m, R"("status":"success")")) {
                ++ok;
            } else {
                if (first_failure.empty()) first_failure = excerpt(m, 600);
                ++failed;
            }
            if (ok + failed == n) {
                t1 = Clock::now();
                done.fire();
            }
        } else if (t == "error") {
            if (first_failure.empty()) first_failure = excerpt(m, 600);
            ++failed;
            if (ok + failed == n) {
                t1 = Clock::now();
                done.fire();
            }
        }
    };
    const std::string prefix = R"({"type":"custom_function_call","request_id":")" + std::string(id_prefix);
    std::string suffix = R"(","module_name":"benchmod","function_name":"add","args":[1,2],"workbook_id":)";
    append_json_string(suffix, opt_.workbook_id);
    suffix += R"(,"source":"addin"})";
    std::string frame;
    const auto idle = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt_.idle_timeout_s));
    t0 = Clock::now();
    // Queue the calls in batches; between batches the writer and the reader get to run, and the
    // queue is kept below a few MB.
    while (sent < n && s->link->open()) {
        for (int b = 0; b < 256 && sent < n; ++b, ++sent) {
            frame.assign(prefix);
            frame += std::to_string(sent);
            frame += suffix;
            s->link->send(frame);
        }
        if (s->link->pending_bytes() > (4u << 20)) co_await s->link->drain_below(1u << 20, idle);
        else co_await asio::post(ioc_, asio::use_awaitable);
    }
    co_await s->link->flushed(idle);
    Clock::time_point sent_at = Clock::now();
    const std::string what = "waiting for function_execution_result replies";
    if (!co_await wait_done(*s, done, r, what)) {
        r.notes.push_back(std::to_string(ok + failed) + " of " + std::to_string(n) + " replies had arrived");
        co_return 0.0;
    }
    double secs = ms_between(t0, t1) / 1000.0;
    if (failed) {
        r.fail(std::to_string(failed) + " of " + std::to_string(n) + " calls failed; first: " + first_failure);
        co_return 0.0;
    }
    figure(r, "send_ms", ms_between(t0, sent_at), "ms");
    co_return secs;
}

asio::awaitable<void> Runner::scenario_streaming(ScenarioResult& r) {
    Session* s = co_await shared_session(r);
    if (!s) co_return;
    if (!co_await ensure_module(*s, r)) co_return;
    const std::int64_t n = opt_.stream_values;
    Signal done(ioc_.get_executor());
    std::int64_t count = 0, out_of_order = 0;
    std::string id = "stream-1", needle = id_needle(id);
    Clock::time_point t0, t1, first_value;
    HandlerScope scope{&s->handler};
    s->handler = [&](std::string_view m) {
        std::string scratch;
        auto t = message_type(m, scratch);
        if (t == "streaming_function_result") {
            if (!contains(m, needle)) return;
            if (contains(m, R"("done":false)")) {
                if (count == 0) first_value = Clock::now();
                auto v = int_field(m, "result");
                if (!v || *v != count) ++out_of_order;
                ++count;
                return;
            }
            t1 = Clock::now();
            if (contains(m, R"("error":)")) r.fail("stream ended with error: " + excerpt(m, 600));
            else if (contains(m, R"("Canceled")")) r.fail("stream was cancelled: " + excerpt(m));
            done.fire();
        } else if (t == "error") {
            r.fail("answered with: " + excerpt(m, 600));
            done.fire();
        }
    };
    const std::string req = stream_request(opt_.workbook_id, id, "benchmod", n, "addin");
    t0 = Clock::now();
    s->link->send(req);
    const std::string what = "waiting for the final streaming_function_result";
    bool finished = co_await wait_done(*s, done, r, what);
    if (count > 0 || finished) {
        double secs = ms_between(t0, t1) / 1000.0;
        figure(r, "values", static_cast<double>(count), "");
        if (finished) {
            figure(r, "values_per_s", count / secs, "1/s");
            figure(r, "total_ms", secs * 1000.0, "ms");
            if (count > 0) figure(r, "first_value_ms", ms_between(t0, first_value), "ms");
        }
    }
    if (!finished) co_return;
    if (count != n) r.fail("expected " + std::to_string(n) + " values, got " + std::to_string(count));
    if (out_of_order) r.fail(std::to_string(out_of_order) + " values out of order or unreadable");
}

asio::awaitable<void> Runner::scenario_big_result(ScenarioResult& r) {
    Session* s = co_await shared_session(r);
    if (!s) co_return;
    if (!co_await ensure_module(*s, r)) co_return;
    Signal done(ioc_.get_executor());
    std::string id = "big-1", needle = id_needle(id);
    Clock::time_point t0, t1;
    // Checks the joined reply in place (after the clock has stopped), so it is never copied.
    auto check = [&](std::string_view reply) {
        boost::system::error_code ec;
        json::value v = json::parse(json::string_view(reply.data(), reply.size()), ec);
        if (ec || !v.is_object()) {
            r.fail("reassembled reply is not a JSON object: " + excerpt(reply));
            return;
        }
        const auto& o = v.as_object();
        auto* status = o.if_contains("status");
        auto* result = o.if_contains("result");
        if (!status || !status->is_string() || status->as_string() != "success") {
            r.fail("call failed: " + excerpt(reply, 600));
        } else if (!result || !result->is_string()) {
            r.fail("result is not a string: " + excerpt(reply));
        } else if (result->as_string().size() != opt_.big_bytes) {
            r.fail("result has " + std::to_string(result->as_string().size()) + " characters, expected " +
                   std::to_string(opt_.big_bytes));
        } else if (std::any_of(result->as_string().begin(), result->as_string().end(),
                               [](char c) { return c != 'x'; })) {
            r.fail("result holds characters other than 'x'");
        }
    };
    HandlerScope scope{&s->handler};
    s->handler = [&](std::string_view m) {
        std::string scratch;
        auto t = message_type(m, scratch);
        if (t == "function_execution_result" && contains(m.substr(0, 200), needle)) {
            t1 = Clock::now();
            check(m);
            done.fire();
        } else if (t == "error") {
            r.fail("answered with: " + excerpt(m, 600));
            done.fire();
        }
    };
    auto before = s->link->stats();
    reset_peak(*s, r);
    t0 = Clock::now();
    s->link->send(call_request(opt_.workbook_id, "big", "[" + std::to_string(opt_.big_bytes) + "]", id, kModule));
    if (!co_await wait_done(*s, done, r, "waiting for function_execution_result")) co_return;
    auto after = s->link->stats();
    co_await memory_after(*s, r);
    double secs = ms_between(t0, t1) / 1000.0;
    double mib = 1024.0 * 1024.0;
    figure(r, "total_ms", secs * 1000.0, "ms");
    figure(r, "mb_per_s", opt_.big_bytes / mib / secs, "MB/s");
    figure(r, "wire_mb", (after.bytes_in - before.bytes_in) / mib, "MB");
    figure(r, "chunks", static_cast<double>(after.chunk_pieces - before.chunk_pieces), "");
    figure(r, "chunked_messages", static_cast<double>(after.chunked_messages - before.chunked_messages), "");
    if (after.chunked_messages == before.chunked_messages)
        r.notes.push_back("the reply did not arrive as chunk messages");
}

asio::awaitable<void> Runner::run() {
    auto wanted = opt_.scenarios.empty() ? default_scenarios() : opt_.scenarios;
    for (const auto& name : wanted) {
        ScenarioResult r;
        r.name = name;
        cpu_pid_ = -1;  // set by shared_session when the scenario gets its kernel

        const auto& entries = scenario_registry();
        auto entry =
            std::find_if(entries.begin(), entries.end(), [&](const ScenarioEntry& e) { return name == e.name; });
        if (entry == entries.end()) r.fail("unknown scenario");
        else co_await (this->*(entry->run))(r);

        if (r.ok && shared_ && shared_->proc->pid() == cpu_pid_ && !shared_->proc->poll_exit()) {
            // CPU used by both sides from the moment the scenario had its kernel.
            if (auto k = shared_->proc->cpu_ms()) figure(r, "kernel_cpu_ms", *k - kernel_cpu0_, "ms");
            figure(r, "bench_cpu_ms", self_cpu_ms() - bench_cpu0_, "ms");
        }
        if (!r.ok && shared_) {
            // Later scenarios get a fresh kernel rather than one left in an unknown state.
            co_await stop_kernel(*shared_, &r);
            shared_.reset();
        }
        results_.push_back(std::move(r));
        const auto& done = results_.back();
        FILE* out = opt_.json ? stderr : stdout;
        for (const auto& f : done.figures)
            std::fprintf(out, "%-34s %14.2f %s\n", f.name.c_str(), f.value, f.unit.c_str());
        for (const auto& n : done.notes) std::fprintf(out, "%-34s note: %s\n", done.name.c_str(), n.c_str());
        if (!done.ok) std::fprintf(out, "%-34s FAILED: %s\n", done.name.c_str(), done.error.c_str());
        std::fflush(out);
    }
    if (shared_) {
        ScenarioResult r;
        r.name = "kernel";
        if (auto hwm = shared_->proc->status_mb("VmHWM")) figure(r, "peak_rss_mb", *hwm, "MB");
        double sd = 0;
        co_await stop_kernel(*shared_, &r, &sd);
        figure(r, "shutdown_ms", sd, "ms");
        r.notes.push_back("kernel " + shared_->proc->exit_text());
        shared_.reset();
        FILE* out = opt_.json ? stderr : stdout;
        for (const auto& f : r.figures) std::fprintf(out, "%-34s %14.2f %s\n", f.name.c_str(), f.value, f.unit.c_str());
        for (const auto& n : r.notes) std::fprintf(out, "%-34s note: %s\n", r.name.c_str(), n.c_str());
        results_.push_back(std::move(r));
    }
}

std::string Runner::summary_json() const {
    // Written by hand so numbers come out as plain decimals (12.345, 20000) rather than 1.2345E1.
    auto number = [](double v) -> std::string {
        if (!std::isfinite(v)) return "null";
        char buf[64];
        if (v == std::floor(v) && std::fabs(v) < 1e15) std::snprintf(buf, sizeof buf, "%.0f", v);
        else std::snprintf(buf, sizeof buf, "%.3f", v);
        return buf;
    };
    std::string out = "{\"kernel\":";
    append_json_string(out, opt_.kernel_path);
    out += ",\"scenarios\":[";
    for (std::size_t i = 0; i < results_.size(); ++i) {
        const auto& r = results_[i];
        if (i) out += ",";
        out += "{\"name\":";
        append_json_string(out, r.name);
        out += r.ok ? ",\"ok\":true" : ",\"ok\":false,\"error\":";
        if (!r.ok) append_json_string(out, r.error);
        out += ",\"figures\":{";
        for (std::size_t j = 0; j < r.figures.size(); ++j) {
            const auto& f = r.figures[j];
            if (j) out += ",";
            append_json_string(out, std::string_view(f.name).substr(r.name.size() + 1));
            out += ":" + number(f.value);
        }
        out += "},\"units\":{";
        for (std::size_t j = 0; j < r.figures.size(); ++j) {
            const auto& f = r.figures[j];
            if (j) out += ",";
            append_json_string(out, std::string_view(f.name).substr(r.name.size() + 1));
            out += ":";
            append_json_string(out, f.unit);
        }
        out += "},\"notes\":[";
        for (std::size_t j = 0; j < r.notes.size(); ++j) {
            if (j) out += ",";
            append_json_string(out, r.notes[j]);
        }
        out += "]}";
    }
    out += "]}";
    return out;
}

}  // namespace bench
