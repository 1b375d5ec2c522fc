// gridlet-bench: plays the Business Layer over a real socket and measures the kernel.
#include "runner.hpp"

#include <malloc.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: gridlet-bench [options]\n"
                 "\n"
                 "Starts the kernel, plays the Business Layer (a WebSocket server on 127.0.0.1)\n"
                 "and prints one line per figure.\n"
                 "\n"
                 "  --kernel PATH        kernel binary (default: gridlet-kernel in the folder above\n"
                 "                       this program's, i.e. build/gridlet-kernel)\n"
                 "  --scenario NAME      run only this scenario; repeat or give a comma list\n"
                 "                       (default: all marked * below, in that order)\n"
                 "  --json               print a JSON summary on stdout (figure lines go to stderr)\n"
                 "  --storm-calls N      calls in cfc_storm (default 20000)\n"
                 "  --storm-warmup N     unmeasured calls of cfc_storm before them (default 20000)\n"
                 "  --rtt-calls N        measured round trips in exec_rtt and cfc_rtt (default 5000)\n"
                 "  --warmup N           unmeasured round trips before those (default 100)\n"
                 "  --spawns N           kernels started by startup (default 10)\n"
                 "  --stream-values N    values yielded in streaming (default 100000)\n"
                 "  --print-lines N      print() calls in print_flood (default 100000)\n"
                 "  --big-bytes N        result size in big_result (default 16777216)\n"
                 "  --interrupts N       interrupted runs in interrupt (default 100)\n"
                 "  --timeout S          fail a scenario when nothing arrives for S seconds (default 20)\n"
                 "  --soak-calls N       custom function calls in soak (default 1000000)\n"
                 "  --soak-stream N      streamed values in soak (default 100000)\n"
                 "  --soak-sys N         sys_request round trips in soak, from ten workers (default 10000)\n"
                 "  --soak-chunked N     chunked echo calls in soak (default 1000)\n"
                 "  --soak-rss-slack MB  resident memory growth after warm-up that soak allows (default 8)\n"
                 "  --soak-rounds N      run the soak load N times over (default 1)\n"
                 "  --workbook-id ID     workbook id passed to the kernel (default bench-wb)\n"
                 "  --kernel-log PATH    file for the kernel's stdout/stderr (default\n"
                 "                       $TMPDIR/gridlet-bench-kernel.log; '-' keeps them on ours)\n"
                 "  --log-level LEVEL    GRIDLET_LOG_LEVEL for the kernel (default WARNING)\n"
                 "  --echo-kernel PATH   the floor kernel of floor_rtt (default: gridlet-echo-kernel\n"
                 "                       beside this program)\n"
                 "  --cells-rows N       rows of the 1,000,000-cell scenarios (default 1000)\n"
                 "  --cells-cols N       columns of them (default 1000; the frame has 10x the rows\n"
                 "                       and a tenth of the columns)\n"
                 "  --help               this text\n"
                 "\n"
                 "Scenarios:\n");
    for (const auto& e : bench::scenario_registry())
        std::fprintf(out, "  %c %-12s %s\n", e.by_default ? '*' : ' ', e.name, e.summary);
}

bool split_into(const std::string& list, std::vector<std::string>& out) {
    std::stringstream ss(list);
    std::string item;
    while (std::getline(ss, item, ','))
        if (!item.empty()) out.push_back(item);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    // Large messages (joined chunks) are allocated and freed again and again; keeping freed memory
    // in the heap instead of returning it to the system spares a page fault per 4 KiB each time.
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    bench::Options opt;
    std::string log_arg;
    bool log_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "missing value for %s\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        auto number = [&]() -> long long {
            std::string v = value();
            try {
                std::size_t used = 0;
                long long n = std::stoll(v, &used);
                if (used == v.size() && n >= 0) return n;
            } catch (...) {}
            std::fprintf(stderr, "%s needs a non-negative integer, got '%s'\n", a.c_str(), v.c_str());
            std::exit(2);
        };
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--kernel") {
            opt.kernel_path = value();
        } else if (a == "--echo-kernel") {
            opt.echo_kernel_path = value();
        } else if (a == "--cells-rows") {
            opt.cells_rows = std::max(1, static_cast<int>(number()));
        } else if (a == "--cells-cols") {
            opt.cells_cols = std::max(10, static_cast<int>(number()));
        } else if (a == "--scenario") {
            split_into(value(), opt.scenarios);
        } else if (a == "--json") {
            opt.json = true;
        } else if (a == "--storm-calls") {
            opt.storm_calls = static_cast<int>(number());
        } else if (a == "--storm-warmup") {
            opt.storm_warmup = std::max(0, static_cast<int>(number()));
        } else if (a == "--rtt-calls") {
            opt.rtt_calls = static_cast<int>(number());
        } else if (a == "--warmup") {
            opt.warmup = static_cast<int>(number());
        } else if (a == "--spawns") {
            opt.spawns = static_cast<int>(number());
        } else if (a == "--stream-values") {
            opt.stream_values = static_cast<int>(number());
        } else if (a == "--print-lines") {
            opt.print_lines = static_cast<int>(number());
        } else if (a == "--interrupts") {
            opt.interrupts = static_cast<int>(number());
        } else if (a == "--big-bytes") {
            opt.big_bytes = static_cast<std::size_t>(number());
        } else if (a == "--timeout") {
            opt.idle_timeout_s = static_cast<double>(number());
        } else if (a == "--soak-calls") {
            opt.soak_calls = number();
        } else if (a == "--soak-stream") {
            opt.soak_stream_values = number();
        } else if (a == "--soak-sys") {
            opt.soak_sys_requests = static_cast<int>(number());
        } else if (a == "--soak-chunked") {
            opt.soak_chunked = static_cast<int>(number());
        } else if (a == "--soak-rounds") {
            opt.soak_rounds = std::max(1, static_cast<int>(number()));
        } else if (a == "--soak-rss-slack") {
            opt.soak_rss_slack_mb = static_cast<double>(number());
        } else if (a == "--workbook-id") {
            opt.workbook_id = value();
        } else if (a == "--kernel-log") {
            log_arg = value();
            log_given = true;
        } else if (a == "--log-level") {
            opt.log_level = value();
        } else {
            std::fprintf(stderr, "unknown argument: %s\n\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    for (const auto& s : opt.scenarios) {
        const auto& all = bench::all_scenarios();
        if (std::find(all.begin(), all.end(), s) == all.end()) {
            std::fprintf(stderr, "unknown scenario: %s\n", s.c_str());
            return 2;
        }
    }
    if (opt.rtt_calls < 1 || opt.storm_calls < 1 || opt.spawns < 1) {
        std::fprintf(stderr, "--rtt-calls, --storm-calls and --spawns must be at least 1\n");
        return 2;
    }
    if (opt.kernel_path.empty()) opt.kernel_path = bench::default_kernel_path();
    if (access(opt.kernel_path.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "kernel binary not found or not executable: %s\n", opt.kernel_path.c_str());
        return 2;
    }
    if (opt.echo_kernel_path.empty()) {
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string("./x");
        opt.echo_kernel_path = dir.substr(0, dir.rfind('/') + 1) + "gridlet-echo-kernel";
    }
    if (!log_given) {
        const char* tmp = std::getenv("TMPDIR");
        opt.log_path = std::string(tmp && *tmp ? tmp : "/tmp") + "/gridlet-bench-kernel.log";
    } else if (log_arg != "-") {
        opt.log_path = log_arg;
    }
    if (!opt.log_path.empty()) {
        // Start each run with an empty log; every kernel of the run appends to it.
        if (std::FILE* f = std::fopen(opt.log_path.c_str(), "w")) std::fclose(f);
    }

    bench::asio::io_context ioc(1);
    bench::Runner runner(ioc, opt);
    std::string fatal;
    bench::asio::co_spawn(ioc, runner.run(), [&](std::exception_ptr e) {
        if (!e) return;
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& ex) {
            fatal = ex.what();
        }
    });
    ioc.run();
    if (!fatal.empty()) std::fprintf(stderr, "gridlet-bench: %s\n", fatal.c_str());
    if (opt.json) std::printf("%s\n", runner.summary_json().c_str());
    bool all_ok = fatal.empty();
    for (const auto& r : runner.results()) all_ok = all_ok && r.ok;
    return all_ok ? 0 : 1;
}
