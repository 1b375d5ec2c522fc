#!/usr/bin/env python3
"""Debugger overhead: a CPU-bound pure-Python function (loops and calls) run normally, under the
kernel's debugger with no breakpoints, with one breakpoint in a function that is never hit, and
under a plain bdb.Bdb().runcall for comparison. Plays the Business Layer over a real socket.

    /usr/bin/python3 bench/debugger_bench.py [--kernel build/gridlet-kernel] [--repeat 5]
"""
import argparse
import asyncio
import json
import os
import statistics
import subprocess
import time

import websockets

MODULE = '''
def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)

def work(n):
    total = 0
    for i in range(n):
        total += i % 7
    return total + fib(20)

def never_called():
    return 0
'''


async def main(args):
    inbox = asyncio.Queue()
    conn = {}

    async def handler(ws, path=None):
        conn["ws"] = ws
        async for frame in ws:
            await inbox.put(json.loads(frame))

    server = await websockets.serve(handler, "127.0.0.1", 0, max_size=None, compression=None)
    port = server.sockets[0].getsockname()[1]
    env = dict(os.environ, GRIDLET_SECURED="0", GRIDLET_LOG_LEVEL="WARNING")
    proc = subprocess.Popen([args.kernel, "wb-bench", str(port)], env=env)
    try:
        for _ in range(500):
            if "ws" in conn:
                break
            await asyncio.sleep(0.01)
        ws = conn["ws"]

        async def until(pred, timeout=60):
            while True:
                m = await asyncio.wait_for(inbox.get(), timeout)
                if pred(m):
                    return m

        await ws.send(json.dumps({"type": "update_module", "module_name": "dbgbench", "code": MODULE}))
        await until(lambda m: m.get("type") == "module_updated")

        async def timed(msg, final):
            t0 = time.perf_counter()
            await ws.send(json.dumps(msg))
            await until(final)
            return (time.perf_counter() - t0) * 1000

        n = args.iterations
        runs = {
            "normal": lambda i: timed(
                {"type": "custom_function_call", "module_name": "dbgbench", "function_name": "work",
                 "args": [n], "request_id": f"n{i}"},
                lambda m: m.get("type") == "function_execution_result"),
            "debugger, no breakpoints": lambda i: timed(
                {"type": "run_module", "module_name": "dbgbench", "function_name": "work", "args": [n],
                 "debug": True, "request_id": f"d{i}", "breakpoints": []},
                lambda m: m.get("type") == "debug_terminated" and m.get("request_id") == f"d{i}"),
            "debugger, breakpoint never hit": lambda i: timed(
                {"type": "run_module", "module_name": "dbgbench", "function_name": "work", "args": [n],
                 "debug": True, "request_id": f"b{i}",
                 "breakpoints": [{"module": "dbgbench", "line": 12}]},
                lambda m: m.get("type") == "debug_terminated" and m.get("request_id") == f"b{i}"),
            "bdb.Bdb().runcall": lambda i: timed(
                {"type": "execution_request", "request_id": f"x{i}",
                 "code": f"import bdb, dbgbench; bdb.Bdb().runcall(dbgbench.work, {n})"},
                lambda m: m.get("type") in ("execution_result", "execution_error")),
        }
        results = {}
        for name, fn in runs.items():
            await fn("warm")
            results[name] = statistics.median([await fn(i) for i in range(args.repeat)])
        base = results["normal"]
        print(f"{'run':34s} {'median ms':>10s} {'vs normal':>10s}")
        for name, ms in results.items():
            print(f"{name:34s} {ms:10.1f} {ms / base:9.2f}x")
        await ws.send(json.dumps({"type": "shutdown"}))
    finally:
        try:
            await asyncio.get_running_loop().run_in_executor(None, proc.wait, 10)
        except subprocess.TimeoutExpired:
            proc.kill()
        server.close()


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--kernel", default=os.path.join(here, "..", "build", "gridlet-kernel"))
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--iterations", type=int, default=200000)
    asyncio.run(main(p.parse_args()))
