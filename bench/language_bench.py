#!/usr/bin/env python3
"""Editor language requests against the real kernel: completion, signature help and hover on a
500-line workbook module that imports two other workbook modules, and diagnostics of that
module; and the delivery of a sys_response while a long completion runs. Plays the Business Layer
over a real socket (the end-to-end harness's server).

"first" is the first request of its kind in a new kernel (the first completion also starts the
analysis process); "warm" calls follow one unmeasured pass over the request variants (a few
different cursor texts per kind). Times run from sending the request to reading its reply.

    /usr/bin/python3 bench/language_bench.py [--kernel build/gridlet-kernel] [--warm 50]
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from conftest import BusinessLayer  # noqa: E402


def data_module():
    out = ['"""Records and their loaders."""', "import datetime", ""]
    out += ["class Record:", '    """One row of a sheet."""', "",
            "    def __init__(self, key, values, stamp=None):",
            "        self.key = key", "        self.values = list(values)",
            "        self.stamp = stamp or datetime.date.today()", "",
            "    def total(self):", '        """Sum of the values."""', "        return sum(self.values)", ""]
    for i in range(40):
        out += [f"def load_{i}(rows, limit={i}):", f'    """Load block {i} of the rows."""',
                f"    return [Record(r, [r, {i}]) for r in rows[:limit]]", ""]
    return "\n".join(out) + "\n"


def util_module():
    out = ['"""Small helpers."""', "import math", "", "SCALE = 2.5", ""]
    for i in range(40):
        out += [f"def scale_{i}(value, factor=SCALE, *, clamp=None):",
                f'    """Scale a value by factor (helper {i}).', "",
                "    Args:", "        value: the number", "        factor: the multiplier",
                "        clamp: an upper limit", '    """',
                "    v = value * factor", "    return min(v, clamp) if clamp is not None else v", ""]
    return "\n".join(out) + "\n"


def main_module(lines=500):
    out = ['"""The workbook\'s main module."""', "import lb_data", "import lb_util", ""]
    tail = ["def summary(rows):", "    first = lb_data.Record('a', rows)", "    return first.total()", ""]
    i = 0
    while len(out) + 5 + len(tail) <= lines:
        out += [f"def report_{i}(rows):", f"    records = lb_data.load_{i % 40}(rows)",
                "    total = sum(r.total() for r in records)",
                f"    return lb_util.scale_{i % 40}(total, clamp=100)", ""]
        i += 1
    out += [""] * (lines - len(out) - len(tail)) + tail
    return "\n".join(out) + "\n"


def pct(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, max(0, round(p / 100 * len(s) + 0.5) - 1))]


class Bench:
    def __init__(self, bl):
        self.bl = bl
        self.n = 0

    def request(self, kind, reply_type, timeout=60, **fields):
        self.n += 1
        rid = f"b{self.n}"
        t0 = time.perf_counter()
        self.bl.send({"type": kind, "request_id": rid, **fields})
        reply = self.bl.recv_until(lambda m: m.get("request_id") == rid and m.get("type") == reply_type, timeout)
        dt = (time.perf_counter() - t0) * 1000
        if reply.get("error"):
            raise RuntimeError(f"{kind} failed: {reply['error']}")
        return dt, reply


def run(args):
    workdir = tempfile.mkdtemp(prefix="gridlet-language-bench-")  # the kernel's output
    bl = BusinessLayer(workdir)
    bl.launch("wb-lang-bench", env={"GRIDLET_LOG_LEVEL": args.log_level})
    rows = []
    try:
        bl.wait_connected()
        for name, code in (("lb_data", data_module()), ("lb_util", util_module()), ("lb_main", main_module())):
            bl.send({"type": "update_module", "module_name": name, "code": code})
            bl.recv_until(lambda m: m.get("type") == "module_updated" and m.get("module_name") == name)
        source = main_module()
        assert source.count("\n") == 500
        b = Bench(bl)

        # The editor's buffer: lb_main with one more line being typed at the end.
        def buffer(tail):
            code = source + tail
            return dict(code=code, line=code.count("\n") + 1, column=len(tail), path="<virtual:lb_main>")

        typing = ["lb_util.sc", "lb_util.sca", "lb_data.lo", "lb_data.Record('k', []).to", "report_"]
        checks = {"lb_util.sc": "scale_0", "lb_data.lo": "load_0", "lb_data.Record('k', []).to": "total"}

        def completion(i):
            tail = typing[i % len(typing)]
            dt, reply = b.request("completion_request", "completion_response", **buffer(tail))
            want = checks.get(tail)
            if want and want not in [c["label"] for c in reply["completions"]]:
                raise RuntimeError(f"completion of {tail!r} lacks {want}")
            return dt

        def signature(i):
            tail = ["lb_util.scale_3(1, ", "lb_util.scale_7(", "lb_data.load_2(rows, "][i % 3]
            dt, reply = b.request("signature_help_request", "signature_help_response", **buffer(tail))
            if not reply["signatures"]:
                raise RuntimeError(f"no signature for {tail!r}")
            return dt

        def hover(i):
            tail = ["lb_util.scale_5", "lb_data.Record", "lb_data.load_9"][i % 3]
            fields = buffer(tail)
            fields["column"] = len(tail) - 2
            dt, reply = b.request("hover_request", "hover_response", **fields)
            if not reply["contents"]:
                raise RuntimeError(f"no hover for {tail!r}")
            return dt

        def diagnostics(i):
            # A one-character edit of the last line each time, as while typing.
            code = source[:-1] + f"# edit {i}\n"
            dt, reply = b.request("diagnostic_request", "diagnostic_response", code=code, module_name="lb_main")
            if reply["diagnostics"]:
                raise RuntimeError(f"unexpected diagnostics: {reply['diagnostics'][:2]}")
            return dt

        for label, fn in (("completion", completion), ("signature help", signature), ("hover", hover),
                          ("diagnostics", diagnostics)):
            first = fn(0)
            for i in range(5):  # every variant once before the warm calls
                fn(i + 1)
            warm = [fn(i + 6) for i in range(args.warm)]
            rows.append((label, first, statistics.median(warm), pct(warm, 99), len(warm)))

        # A sys_response while a long completion is being computed.
        def sys_round(during_completion):
            b.n += 1
            r = f"sys{b.n}"
            bl.send({"type": "execution_request", "request_id": r, "function_name": "ask",
                     "code": f"gridlet.messaging.send_request_sync({{'tag': '{r}'}}, timeout=30)"})
            sreq = bl.recv_until(lambda m: m.get("type") == "sys_request" and m["payload"].get("tag") == r, 10)
            c = None
            if during_completion:
                # A buffer not seen before (its own path and names), so nothing of it is cached.
                big = "\n".join(f"def filler_{b.n}_{k}(a):\n    return a\n" for k in range(args.filler)) + "\nfiller_"
                c = f"long{b.n}"
                bl.send({"type": "completion_request", "request_id": c, "code": big,
                         "line": big.count("\n") + 1, "column": 7, "path": f"bench_long_{b.n}.py"})
                t_long = time.perf_counter()
                time.sleep(0.05)  # let the analysis get going
            t0 = time.perf_counter()
            bl.send({"type": "sys_response", "payload": {"requestId": sreq["payload"]["requestId"], "ok": 1}})
            res = bl.recv_until(lambda m: m.get("request_id") == r and m.get("type") == "execution_result", 60)
            delivered = (time.perf_counter() - t0) * 1000
            assert res["result"]["ok"] == 1
            long_ms = None
            still_running = None
            if c:
                still_running = not any(m.get("request_id") == c for m in bl.all_messages)
                bl.recv_until(lambda m: m.get("request_id") == c, 120)
                long_ms = (time.perf_counter() - t_long) * 1000
            return delivered, long_ms, still_running

        idle = [sys_round(False)[0] for _ in range(5)]
        busy = [sys_round(True) for _ in range(5)]
        return rows, idle, busy
    finally:
        try:
            bl.send({"type": "shutdown"})
            bl.wait_exit(10)
        except Exception:
            pass
        bl.stop()
        shutil.rmtree(workdir, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--kernel", help="kernel binary (default build/gridlet-kernel)")
    ap.add_argument("--warm", type=int, default=50, help="warm calls per request kind")
    ap.add_argument("--filler", type=int, default=3000, help="functions in the long completion's buffer")
    ap.add_argument("--log-level", default="WARNING")
    args = ap.parse_args()
    if args.kernel:
        import conftest
        conftest.KERNEL = os.path.abspath(args.kernel)
    rows, idle, busy = run(args)
    print(f"{'request (500-line module, 2 imports)':38} {'first ms':>9} {'p50 ms':>8} {'p99 ms':>8} {'calls':>6}")
    for label, first, p50, p99, n in rows:
        print(f"{label:38} {first:9.1f} {p50:8.1f} {p99:8.1f} {n:6d}")
    print()
    print(f"sys_response -> execution_result, idle:              median {statistics.median(idle):7.1f} ms")
    delivered = [d for d, _, _ in busy]
    longs = [l for _, l, _ in busy]
    print(f"sys_response -> execution_result, during completion: median {statistics.median(delivered):7.1f} ms,"
          f" max {max(delivered):.1f} ms (completion itself: median {statistics.median(longs):.0f} ms;"
          f" delivered before it ended: {sum(1 for *_, s in busy if s)}/{len(busy)})")


if __name__ == "__main__":
    main()
