// The soak scenario: long load of every kind on one kernel, checking that every request is
// answered exactly once and that memory, threads and file descriptors stay where they settled.
#include "runner.hpp"

#include "wire.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <random>
#include <unordered_set>

namespace bench {

using namespace std::chrono_literals;

namespace {

constexpr std::string_view kSoakModule = "soakmod";

constexpr std::string_view kSoakSource =
    "import gridlet\n"
    "\n"
    "def add(a, b):\n"
    "    return a + b\n"
    "\n"
    "def gen(n):\n"
    "    yield from range(n)\n"
    "\n"
    "def ask_many(worker, n):\n"
    "    send = gridlet.messaging.send_request_sync\n"
    "    for k in range(n):\n"
    "        answer = send({'action': 'soak', 'worker': worker, 'k': k}, timeout=60)\n"
    "        if answer.get('worker') != worker or answer.get('k') != k:\n"
    "            raise ValueError('worker %d request %d got the answer %r' % (worker, k, answer))\n"
    "    return n\n"
    "\n"
    "def echo(value):\n"
    "    return value\n";

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// The number after `prefix` in the message's request id ("request_id":"PREFIX<n>"), or -1.
std::int64_t id_number(std::string_view msg, std::string_view prefix) {
    std::string needle = "\"request_id\":\"";
    needle += prefix;
    auto at = msg.find(needle);
    if (at == std::string_view::npos) return -1;
    at += needle.size();
    std::int64_t n = -1;
    auto [p, ec] = std::from_chars(msg.data() + at, msg.data() + msg.size(), n);
    if (ec != std::errc() || p == msg.data() + msg.size() || *p != '"') return -1;
    return n;
}

std::string soak_call(std::string_view workbook, std::string_view function, std::string_view args_json,
                      std::string_view id) {
    return call_request(workbook, function, args_json, id, kSoakModule);
}

// Counts answers per request number: each must come exactly once.
struct Tally {
    std::vector<std::uint8_t> seen;
    std::uint64_t answered = 0, duplicates = 0, failed = 0, unknown = 0;
    std::string first_failure;
    explicit Tally(std::size_t n) : seen(n, 0) {}
    void add(std::int64_t n, bool ok, std::string_view msg) {
        if (n < 0 || std::size_t(n) >= seen.size()) {
            ++unknown;
            return;
        }
        if (seen[n]++) {
            ++duplicates;
            return;
        }
        ++answered;
        if (!ok) {
            ++failed;
            if (first_failure.empty()) first_failure = excerpt(msg, 600);
        }
    }
    std::size_t missing() const { return seen.size() - answered; }
};

}  // namespace

struct Runner::ProcessCounts {
    std::optional<double> rss_mb;
    std::optional<double> threads;
    std::optional<double> fds;
};

Runner::ProcessCounts Runner::process_counts(Session& s) {
    return {s.proc->status_mb("VmRSS"), s.proc->status_value("Threads"), s.proc->fd_count()};
}

asio::awaitable<bool> Runner::soak_module(Session& s, ScenarioResult& r) {
    std::function<void(std::string_view)> saved = std::move(s.handler);
    bool ok = co_await send_module(s, r, kSoakModule, kSoakSource);
    s.handler = std::move(saved);
    co_return ok;
}

// `n` calls of soakmod.add(i, 1) written as fast as the socket takes them; every reply is checked.
asio::awaitable<bool> Runner::soak_calls(Session& s, ScenarioResult& r, std::int64_t n, std::string_view prefix) {
    Signal done(ioc_.get_executor());
    Tally tally{std::size_t(n)};
    s.handler = [&](std::string_view m) {
        std::string scratch;
        auto t = message_type(m, scratch);
        if (t == "function_execution_result") {
            auto i = id_number(m, prefix);
            bool ok = contains(m, R"("status":"success")");
            if (ok) {
                auto v = int_field(m, "result");
                ok = v && *v == i + 1;
            }
            tally.add(i, ok, m);
            if (tally.answered == std::uint64_t(n)) done.fire();
        } else if (t == "error") {
            r.fail("answered with: " + excerpt(m, 600));
            done.fire();
        }
    };
    const auto idle = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt_.idle_timeout_s));
    std::string frame;
    std::int64_t sent = 0;
    while (sent < n && s.link->open() && !done.fired()) {
        for (int b = 0; b < 256 && sent < n; ++b, ++sent) {
            frame = soak_call(opt_.workbook_id, "add", "[" + std::to_string(sent) + ",1]",
                              std::string(prefix) + std::to_string(sent));
            s.link->send(frame);
        }
        if (s.link->pending_bytes() > (4u << 20)) co_await s.link->drain_below(1u << 20, idle);
        else co_await asio::post(ioc_, asio::use_awaitable);
    }
    const std::string what = "waiting for the replies of " + std::to_string(n) + " calls";
    bool ok = co_await wait_done(s, done, r, what);
    s.handler = nullptr;
    if (tally.duplicates || tally.unknown || tally.failed || (ok && tally.missing())) {
        r.fail(std::to_string(tally.duplicates) + " duplicate, " + std::to_string(tally.unknown) + " unknown, " +
               std::to_string(tally.failed) + " failed and " + std::to_string(tally.missing()) + " missing replies" +
               (tally.first_failure.empty() ? "" : "; first failure: " + tally.first_failure));
    }
    co_return ok&& r.ok;
}

// One stream of `n` values, in order, then one final message.
asio::awaitable<bool> Runner::soak_stream(Session& s, ScenarioResult& r, std::int64_t n, std::string_view id) {
    Signal done(ioc_.get_executor());
    std::int64_t count = 0, out_of_order = 0, finals = 0;
    const std::string needle = "\"request_id\":" + json_string(id);
    s.handler = [&](std::string_view m) {
        std::string scratch;
        auto t = message_type(m, scratch);
        if (t == "streaming_function_result" && contains(m, needle)) {
            if (contains(m, R"("done":false)")) {
                auto v = int_field(m, "result");
                if (!v || *v != count) ++out_of_order;
                ++count;
                return;
            }
            ++finals;
            if (contains(m, R"("error":)")) r.fail("stream ended with error: " + excerpt(m, 600));
            done.fire();
        } else if (t == "error") {
            r.fail("answered with: " + excerpt(m, 600));
            done.fire();
        }
    };
    const std::string req = stream_request(opt_.workbook_id, id, kSoakModule, n);
    s.link->send(req);
    bool ok = co_await wait_done(s, done, r, "waiting for the end of the stream");
    co_await sleep(0.05);  // a second final message would arrive here
    s.handler = nullptr;
    if (ok && (count != n || out_of_order || finals != 1))
        r.fail("stream gave " + std::to_string(count) + " of " + std::to_string(n) + " values, " +
               std::to_string(out_of_order) + " out of order, " + std::to_string(finals) + " final messages");
    co_return ok&& r.ok;
}

// `workers` calls of ask_many(w, per_worker) at once; their sys_requests are answered in random
// order whenever every caller still running waits on one.
asio::awaitable<bool> Runner::soak_sys_requests(Session& s, ScenarioResult& r, int workers, int per_worker,
                                                std::string_view prefix, std::uint64_t& round_trips) {
    Signal done(ioc_.get_executor());
    struct Asked {
        std::string request_id;
        std::int64_t worker, k;
    };
    std::vector<Asked> waiting;
    std::unordered_set<std::string> ids;
    std::uint64_t duplicates = 0, malformed = 0, asked = 0;
    int running = workers;
    Tally finished{std::size_t(workers)};
    std::mt19937 rng(20240611);
    auto answer_all = [&] {
        std::shuffle(waiting.begin(), waiting.end(), rng);
        for (const auto& a : waiting) {
            std::string m = R"({"type":"sys_response","payload":{"requestId":)";
            append_json_string(m, a.request_id);
            m += R"(,"worker":)" + std::to_string(a.worker) + R"(,"k":)" + std::to_string(a.k) + "}}";
            s.link->send(m);
        }
        waiting.clear();
    };
    s.handler = [&](std::string_view m) {
        std::string scratch;
        auto t = message_type(m, scratch);
        if (t == "sys_request") {
            auto id = string_field(m, "requestId");
            auto w = int_field(m, "worker");
            auto k = int_field(m, "k");
            if (!id || !w || !k) {
                ++malformed;
                return;
            }
            if (!ids.insert(*id).second) ++duplicates;
            ++asked;
            waiting.push_back({std::move(*id), *w, *k});
            if (int(waiting.size()) >= running) answer_all();
        } else if (t == "function_execution_result") {
            auto w = id_number(m, prefix);
            bool ok = contains(m, R"("status":"success")");
            if (ok) {
                auto v = int_field(m, "result");
                ok = v && *v == per_worker;
            }
            finished.add(w, ok, m);
            --running;
            if (running == 0) done.fire();
            else if (int(waiting.size()) >= running) answer_all();
        } else if (t == "error") {
            r.fail("answered with: " + excerpt(m, 600));
            done.fire();
        }
    };
    for (int w = 0; w < workers; ++w)
        s.link->send(soak_call(opt_.workbook_id, "ask_many",
                               "[" + std::to_string(w) + "," + std::to_string(per_worker) + "]",
                               std::string(prefix) + std::to_string(w)));
    // Should a caller be slow to start, the others must not wait for it for ever.
    bool ok = true;
    while (!done.fired()) {
        std::uint64_t before = asked;
        ok = co_await wait_done_for(s, done, r, 0.2);
        if (!ok) break;
        if (!done.fired() && asked == before && !waiting.empty()) answer_all();
    }
    s.handler = nullptr;
    if (ok && (duplicates || malformed || finished.failed || finished.missing() || finished.duplicates))
        r.fail(std::to_string(duplicates) + " repeated request ids, " + std::to_string(malformed) +
               " unreadable requests, " + std::to_string(finished.failed) + " callers failed, " +
               std::to_string(finished.missing()) + " missing and " + std::to_string(finished.duplicates) +
               " repeated replies" +
               (finished.first_failure.empty() ? "" : "; first failure: " + finished.first_failure));
    if (ok && asked != std::uint64_t(workers) * per_worker)
        r.fail(std::to_string(asked) + " sys_requests, expected " +
               std::to_string(std::uint64_t(workers) * per_worker));
    round_trips += asked;
    co_return ok&& r.ok;
}

// `n` calls of echo(text) whose request is sent as chunk messages and whose replies come back as
// chunks; a few are in flight at a time.
asio::awaitable<bool> Runner::soak_chunked(Session& s, ScenarioResult& r, int n, std::string_view prefix,
                                           std::uint64_t& chunked_in) {
    constexpr std::size_t kLength = 70000;  // characters of the value: over one chunk both ways
    constexpr std::size_t kPiece = 65536;
    constexpr int kInFlight = 8;
    Signal done(ioc_.get_executor());
    Tally tally{std::size_t(n)};
    int sent = 0;
    std::string value(kLength, 'v');
    for (std::size_t i = 0; i < kLength; i += 97) value[i] = 'a' + char(i % 26);
    std::string value_json = json_string(value);
    auto send_one = [&] {
        std::string id = std::string(prefix) + std::to_string(sent);
        std::string text = soak_call(opt_.workbook_id, "echo", "[" + value_json + "]", id);
        send_call_as_chunks(text, "soak-chunk-" + std::to_string(sent), id, kPiece,
                            [&](const std::string& m) { s.link->send(m); });
        ++chunked_in;
        ++sent;
    };
    s.handler = [&](std::string_view m) {
        std::string scratch;
        auto t = message_type(m, scratch);
        if (t == "function_execution_result") {
            auto i = id_number(m.substr(0, 200), prefix);
            bool ok = contains(m.substr(0, 200), R"("status":"success")") && contains(m, value_json);
            tally.add(i, ok, m.substr(0, 600));
            if (tally.answered == std::uint64_t(n)) done.fire();
            else if (sent < n) send_one();
        } else if (t == "error") {
            r.fail("answered with: " + excerpt(m, 600));
            done.fire();
        }
    };
    while (sent < kInFlight && sent < n) send_one();
    bool ok = co_await wait_done(s, done, r, "waiting for the chunked echoes");
    s.handler = nullptr;
    if (tally.duplicates || tally.unknown || tally.failed || (ok && tally.missing()))
        r.fail(std::to_string(tally.duplicates) + " duplicate, " + std::to_string(tally.unknown) + " unknown, " +
               std::to_string(tally.failed) + " failed and " + std::to_string(tally.missing()) + " missing echoes" +
               (tally.first_failure.empty() ? "" : "; first failure: " + tally.first_failure));
    co_return ok&& r.ok;
}

asio::awaitable<bool> Runner::wait_done_for(Session& s, Signal& done, ScenarioResult& r, double seconds) {
    auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    auto idle = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt_.idle_timeout_s));
    while (!done.fired() && Clock::now() < until) {
        co_await done.wait_for(std::min<Clock::duration>(20ms, until - Clock::now()));
        if (!s.link->open()) {
            s.proc->poll_exit();
            r.fail("connection ended (" + s.link->close_reason() + "; kernel " + s.proc->exit_text() + ")");
            co_return false;
        }
        if (Clock::now() - s.link->last_receive() > idle) {
            r.fail("nothing received for " + std::to_string(opt_.idle_timeout_s) + " s");
            co_return false;
        }
    }
    co_return true;
}

asio::awaitable<void> Runner::scenario_soak(ScenarioResult& r) {
    Session* s = co_await shared_session(r);
    if (!s) co_return;
    if (!co_await soak_module(*s, r)) co_return;
    auto t0 = Clock::now();
    std::uint64_t round_trips = 0, chunked_in = 0;

    // Warm-up: a little of everything, so that what is allocated once is allocated before the
    // baseline is taken.
    if (!co_await soak_calls(*s, r, 50000, "soakw-")) co_return;
    if (!co_await soak_stream(*s, r, 10000, "soakw-stream")) co_return;
    if (!co_await soak_sys_requests(*s, r, 10, 20, "soakw-ask-", round_trips)) co_return;
    if (!co_await soak_chunked(*s, r, 200, "soakw-echo-", chunked_in)) co_return;
    co_await sleep(1.0);
    const ProcessCounts warm = process_counts(*s);
    round_trips = chunked_in = 0;
    const auto out_warm = s->link->stats();

    // The load, `soak_rounds` times over; resident memory after each phase of each round shows
    // whether growth is a one-time settling or goes on.
    double calls_ms = 0, stream_ms = 0, sys_ms = 0, chunked_ms = 0;
    const int per_worker = std::max(1, opt_.soak_sys_requests / 10);
    std::vector<double> rss_rounds;
    for (int round = 0; round < opt_.soak_rounds; ++round) {
        const std::string tag = "soak" + std::to_string(round) + "-";
        auto rss_after = [&](const char* what) {
            if (round != 0) return;
            if (auto mb = s->proc->status_mb("VmRSS")) figure(r, std::string("rss_after_") + what + "_mb", *mb, "MB");
        };
        auto phase = Clock::now();
        if (!co_await soak_calls(*s, r, opt_.soak_calls, tag)) co_return;
        calls_ms += ms_since(phase);
        rss_after("calls");
        phase = Clock::now();
        if (!co_await soak_stream(*s, r, opt_.soak_stream_values, tag + "stream")) co_return;
        stream_ms += ms_since(phase);
        rss_after("stream");
        phase = Clock::now();
        if (!co_await soak_sys_requests(*s, r, 10, per_worker, tag + "ask-", round_trips)) co_return;
        sys_ms += ms_since(phase);
        rss_after("sys_requests");
        phase = Clock::now();
        if (!co_await soak_chunked(*s, r, opt_.soak_chunked, tag + "echo-", chunked_in)) co_return;
        chunked_ms += ms_since(phase);
        rss_after("chunked");
        if (opt_.soak_rounds > 1)
            if (auto mb = s->proc->status_mb("VmRSS")) rss_rounds.push_back(*mb);
    }
    co_await sleep(1.0);
    const ProcessCounts end = process_counts(*s);
    const auto out_end = s->link->stats();
    const double rounds = opt_.soak_rounds;
    for (std::size_t i = 0; i < rss_rounds.size(); ++i)
        figure(r, "rss_round_" + std::to_string(i + 1) + "_mb", rss_rounds[i], "MB");

    figure(r, "calls", opt_.soak_calls * rounds, "");
    figure(r, "calls_per_s", opt_.soak_calls * rounds / (calls_ms / 1000.0), "1/s");
    figure(r, "stream_values", opt_.soak_stream_values * rounds, "");
    figure(r, "stream_values_per_s", opt_.soak_stream_values * rounds / (stream_ms / 1000.0), "1/s");
    figure(r, "sys_requests", double(round_trips), "");
    figure(r, "sys_requests_per_s", round_trips / (sys_ms / 1000.0), "1/s");
    figure(r, "chunked_in", double(chunked_in), "");
    figure(r, "chunked_out", double(out_end.chunked_messages - out_warm.chunked_messages), "");
    figure(r, "chunked_ms", chunked_ms, "ms");
    figure(r, "total_s", ms_since(t0) / 1000.0, "s");
    if (warm.rss_mb && end.rss_mb) {
        figure(r, "rss_warm_mb", *warm.rss_mb, "MB");
        figure(r, "rss_end_mb", *end.rss_mb, "MB");
        figure(r, "rss_growth_mb", *end.rss_mb - *warm.rss_mb, "MB");
        if (*end.rss_mb - *warm.rss_mb > opt_.soak_rss_slack_mb)
            r.fail("resident memory grew by " + std::to_string(*end.rss_mb - *warm.rss_mb) + " MB after warm-up");
    }
    if (warm.threads && end.threads) {
        figure(r, "threads_warm", *warm.threads, "");
        figure(r, "threads_end", *end.threads, "");
        if (*end.threads > *warm.threads) r.fail("thread count grew");
    }
    if (warm.fds && end.fds) {
        figure(r, "fds_warm", *warm.fds, "");
        figure(r, "fds_end", *end.fds, "");
        if (*end.fds > *warm.fds) r.fail("file descriptor count grew");
    }
    if (out_end.chunked_messages - out_warm.chunked_messages < std::uint64_t(opt_.soak_chunked) * opt_.soak_rounds)
        r.fail("fewer chunked replies than chunked requests");
}

}  // namespace bench
