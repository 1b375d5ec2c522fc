// The 1,000,000-cell scenarios (a computed table spilled into the sheet, and one passed in), and
// the memory figures of a kernel around one large call.
#include "runner.hpp"
#include "wire.hpp"

#include <boost/json.hpp>

#include <cmath>
#include <cstdio>
#include <fstream>

namespace bench {

namespace json = boost::json;

namespace {

double ms_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// The cell at `index` (row-major) of every grid of these scenarios.
double cell(std::int64_t index) { return static_cast<double>(index) / 7.0; }

bool near(double got, double want) { return std::fabs(got - want) <= 1e-14 * std::max(1.0, std::fabs(want)); }

std::optional<double> number(const json::value& v) {
    if (v.is_double()) return v.as_double();
    if (v.is_int64()) return static_cast<double>(v.as_int64());
    if (v.is_uint64()) return static_cast<double>(v.as_uint64());
    return std::nullopt;
}

// `rows` rows of `cols` cells, from `first` on (the frame's rows follow its header row).
std::string check_grid(const json::array& a, std::size_t first, int rows, int cols) {
    if (a.size() != first + rows)
        return "expected " + std::to_string(first + rows) + " rows, got " + std::to_string(a.size());
    for (int r = 0; r < rows; ++r) {
        const auto& row = a[first + r];
        if (!row.is_array() || row.as_array().size() != static_cast<std::size_t>(cols))
            return "row " + std::to_string(r) + " is not a list of " + std::to_string(cols) + " cells";
        for (int c = 0; c < cols; ++c) {
            auto v = number(row.as_array()[c]);
            if (!v || !near(*v, cell(std::int64_t(r) * cols + c)))
                return "cell [" + std::to_string(r) + "][" + std::to_string(c) + "] is " +
                       json::serialize(row.as_array()[c]);
        }
    }
    return "";
}

struct HandlerReset {
    std::function<void(std::string_view)>* slot;
    ~HandlerReset() {
        if (slot) *slot = nullptr;
    }
};

}  // namespace

void Runner::reset_peak(Session& s, ScenarioResult& r) {
    // 5 resets the peak resident size (VmHWM) to the current one.
    std::ofstream f("/proc/" + std::to_string(s.proc->pid()) + "/clear_refs");
    f << "5";
    f.flush();
    if (!f) r.notes.push_back("cannot reset VmHWM: the peak covers the kernel's whole life");
}

asio::awaitable<void> Runner::memory_after(Session& s, ScenarioResult& r) {
    if (auto hwm = s.proc->status_mb("VmHWM")) figure(r, "peak_rss_mb", *hwm, "MB");
    co_await sleep(1.0);
    if (auto rss = s.proc->status_mb("VmRSS")) figure(r, "rss_after_mb", *rss, "MB");
}

asio::awaitable<void> Runner::large_call(ScenarioResult& r, std::string_view function, const std::string& args_json,
                                         bool chunked, const std::function<std::string(const json::value&)>& check,
                                         std::string_view warm_args) {
    Session* s = co_await shared_session(r);
    if (!s) co_return;
    if (!co_await ensure_module(*s, r)) co_return;
    Signal done(ioc_.get_executor());
    const std::string id = r.name + "-1", needle = "\"request_id\":" + json_string(id);
    Clock::time_point t0, t1;
    HandlerReset scope{&s->handler};
    s->handler = [&](std::string_view m) {
        std::string scratch;
        auto t = message_type(m, scratch);
        if (t == "function_execution_result" && contains(m.substr(0, 200), needle)) {
            t1 = Clock::now();
            boost::system::error_code ec;
            json::value v = json::parse(json::string_view(m.data(), m.size()), ec);
            const json::object* o = !ec && v.is_object() ? &v.as_object() : nullptr;
            const json::value* status = o ? o->if_contains("status") : nullptr;
            const json::value* result = o ? o->if_contains("result") : nullptr;
            if (!o) {
                r.fail("reply is not a JSON object: " + excerpt(m));
            } else if (!status || *status != "success" || !result) {
                r.fail("call failed: " + excerpt(m, 600));
            } else if (auto why = check(*result); !why.empty()) {
                r.fail("wrong result: " + why);
            }
            done.fire();
        } else if (t == "error") {
            r.fail("answered with: " + excerpt(m, 600));
            done.fire();
        }
    };
    if (!warm_args.empty()) {
        // One small call first, unmeasured: the function's first run imports what it uses.
        const std::string warm_id = r.name + "-warm", warm_needle = "\"request_id\":" + json_string(warm_id);
        Signal warm(ioc_.get_executor());
        auto measured = std::move(s->handler);
        s->handler = [&](std::string_view m) {
            std::string scratch;
            if (message_type(m, scratch) == "function_execution_result" && contains(m.substr(0, 200), warm_needle))
                warm.fire();
        };
        s->link->send(call_request(opt_.workbook_id, function, std::string(warm_args), warm_id, "benchmod"));
        const bool warmed = co_await wait_done(*s, warm, r, "waiting for the warm-up call");
        s->handler = std::move(measured);
        if (!warmed) co_return;
    }
    const std::string text = call_request(opt_.workbook_id, function, args_json, id, "benchmod");
    // A chunked call's messages are made before the clock starts: making them is the sender's work.
    std::vector<std::string> pieces;
    if (chunked) send_call_as_chunks(text, id + "-in", id, 65536, [&](const std::string& m) { pieces.push_back(m); });
    auto before = s->link->stats();
    reset_peak(*s, r);
    t0 = Clock::now();
    if (chunked) {
        for (const auto& m : pieces) s->link->send(m);
    } else {
        s->link->send(text);
    }
    if (!co_await wait_done(*s, done, r, "waiting for function_execution_result")) co_return;
    auto after = s->link->stats();
    figure(r, "total_ms", ms_between(t0, t1), "ms");
    figure(r, "wire_in_mb", (after.bytes_in - before.bytes_in) / 1048576.0, "MB");
    figure(r, "wire_out_mb", (after.bytes_out - before.bytes_out) / 1048576.0, "MB");
    co_await memory_after(*s, r);
}

asio::awaitable<void> Runner::scenario_cells_list(ScenarioResult& r) {
    const int rows = opt_.cells_rows, cols = opt_.cells_cols;
    co_await large_call(r, "cells_list", "[" + std::to_string(rows) + "," + std::to_string(cols) + "]", false,
                        [&](const json::value& v) -> std::string {
                            return v.is_array() ? check_grid(v.as_array(), 0, rows, cols) : "not a list";
                        });
}

asio::awaitable<void> Runner::scenario_cells_numpy(ScenarioResult& r) {
    const int rows = opt_.cells_rows, cols = opt_.cells_cols;
    co_await large_call(
        r, "cells_numpy", "[" + std::to_string(rows) + "," + std::to_string(cols) + "]", false,
        [&](const json::value& v) -> std::string {
            return v.is_array() ? check_grid(v.as_array(), 0, rows, cols) : "not a list";
        },
        "[1,1]");
}

asio::awaitable<void> Runner::scenario_cells_frame(ScenarioResult& r) {
    // The same number of cells, as a tall frame: 10x the rows, a tenth of the columns.
    const int rows = opt_.cells_rows * 10, cols = opt_.cells_cols / 10;
    co_await large_call(
        r, "cells_frame", "[" + std::to_string(rows) + "," + std::to_string(cols) + "]", false,
        [&](const json::value& v) -> std::string {
            if (!v.is_array() || v.as_array().empty() || !v.as_array()[0].is_array())
                return "not a header row followed by rows";
            const auto& header = v.as_array()[0].as_array();
            if (header.size() != static_cast<std::size_t>(cols)) return "header of the wrong width";
            for (int c = 0; c < cols; ++c)
                if (number(header[c]) != double(c)) return "header is not the column numbers";
            return check_grid(v.as_array(), 1, rows, cols);
        },
        "[1,1]");
}

asio::awaitable<void> Runner::scenario_cells_in(ScenarioResult& r) {
    const int rows = opt_.cells_rows, cols = opt_.cells_cols;
    // One argument: the list of rows, each value written with 17 digits (it reads back exactly).
    std::string args = "[[";
    char buf[40];
    for (int i = 0; i < rows; ++i) {
        args += i ? ",[" : "[";
        for (int c = 0; c < cols; ++c) {
            int n = std::snprintf(buf, sizeof buf, c ? ",%.17g" : "%.17g", cell(std::int64_t(i) * cols + c));
            args.append(buf, static_cast<std::size_t>(n));
        }
        args += "]";
    }
    args += "]]";
    const std::int64_t cells = std::int64_t(rows) * cols;
    co_await large_call(r, "cells_count", args, true, [&](const json::value& v) -> std::string {
        // cells_count answers [rows, cells, last cell].
        if (!v.is_array() || v.as_array().size() != 3) return "not [rows, cells, last]: " + json::serialize(v);
        const auto& a = v.as_array();
        if (number(a[0]) != double(rows) || number(a[1]) != double(cells) || !number(a[2]) ||
            !near(*number(a[2]), cell(cells - 1)))
            return "expected [" + std::to_string(rows) + ", " + std::to_string(cells) + ", last], got " +
                   json::serialize(v);
        return "";
    });
}

}  // namespace bench
