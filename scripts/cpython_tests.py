#!/usr/bin/python3
"""Runs CPython's own regression test modules inside the kernel and under stock python3.

    scripts/cpython_tests.py [MODULE...]    (default: the modules listed in DEFAULT_MODULES)

For each module the kernel (build/gridlet-kernel, or $GRIDLET_KERNEL) is started against a
minimal Business Layer on 127.0.0.1, and one execution_request runs `unittest` on the module on
a worker thread. The same module is then run by `/usr/bin/python3 -m unittest -v`. The table
compares tests run, failures and errors, and lists the tests that fail only in the kernel.
Needs Debian's libpython3.11-testsuite. Slow (minutes); not part of scripts/test.sh.
"""

import asyncio
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import time

import websockets

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KERNEL = os.environ.get("GRIDLET_KERNEL", os.path.join(ROOT, "build", "gridlet-kernel"))
DEFAULT_MODULES = ["test_threading", "test_generators", "test_sys_settrace", "test_doctest",
                   "test_logging", "test_json"]
MODULE_TIMEOUT = 900

# Runs on a worker: the report goes to a file so the reply stays small. No "; " and no
# function bodies reading prompt globals, so it does not depend on how the executor splits code.
KERNEL_CODE = """\
import io, json, unittest
_cpy_stream = io.StringIO()
_cpy_suite = unittest.defaultTestLoader.loadTestsFromName({name!r})
_cpy_result = unittest.TextTestRunner(stream=_cpy_stream, verbosity=2).run(_cpy_suite)
_cpy_report = dict(run=_cpy_result.testsRun, failures=[str(t) for t, _ in _cpy_result.failures], errors=[str(t) for t, _ in _cpy_result.errors], skipped=len(_cpy_result.skipped), details=[str(t) + '\\n' + tb for t, tb in _cpy_result.failures + _cpy_result.errors])
open({path!r}, 'w').write(json.dumps(_cpy_report))
"""


def run_in_kernel(module):
    """Start a kernel, run the module's tests through one execution_request, return the report."""
    report_path = tempfile.mktemp(prefix="cpy-", suffix=".json")
    done = threading.Event()
    outcome = {}
    loop = asyncio.new_event_loop()

    async def handler(ws, path):
        await ws.send(json.dumps({"type": "execution_request", "request_id": "cpy",
                                  "code": KERNEL_CODE.format(name="test." + module, path=report_path)}))
        async for frame in ws:
            try:
                msg = json.loads(frame)
            except ValueError:
                continue
            if msg.get("request_id") == "cpy" and msg.get("type") in ("execution_result", "execution_error"):
                outcome["reply"] = msg
                done.set()
                await ws.send(json.dumps({"type": "shutdown"}))

    async def serve():
        return await websockets.serve(handler, "127.0.0.1", 0, max_size=None, ping_interval=None)

    server = loop.run_until_complete(serve())
    port = server.sockets[0].getsockname()[1]
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()
    env = dict(os.environ, GRIDLET_SECURED="0", GRIDLET_LOG_LEVEL="WARNING")
    with open(os.devnull, "wb") as devnull:
        proc = subprocess.Popen([KERNEL, "wb-cpython-tests", str(port)], stdin=subprocess.DEVNULL,
                                stdout=devnull, stderr=devnull, env=env)
    t0 = time.monotonic()
    finished = done.wait(MODULE_TIMEOUT)
    elapsed = time.monotonic() - t0
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(5)
    async def close():
        server.close()
        await server.wait_closed()

    asyncio.run_coroutine_threadsafe(close(), loop).result(10)
    loop.call_soon_threadsafe(loop.stop)
    thread.join(5)
    if not finished:
        return {"error": f"no reply within {MODULE_TIMEOUT}s"}, elapsed
    if outcome["reply"]["type"] != "execution_result":
        return {"error": json.dumps(outcome["reply"].get("error"))[:2000]}, elapsed
    with open(report_path) as f:
        report = json.load(f)
    os.unlink(report_path)
    return report, elapsed


def run_stock(module):
    t0 = time.monotonic()
    p = subprocess.run(["/usr/bin/python3", "-m", "unittest", "-v", "test." + module],
                       capture_output=True, text=True, timeout=MODULE_TIMEOUT, cwd=tempfile.gettempdir())
    elapsed = time.monotonic() - t0
    text = p.stderr
    ran = re.search(r"^Ran (\d+) tests?", text, re.M)
    skipped = re.search(r"skipped=(\d+)", text)
    return {"run": int(ran.group(1)) if ran else -1,
            "failures": re.findall(r"^FAIL: (.+)$", text, re.M),
            "errors": re.findall(r"^ERROR: (.+)$", text, re.M),
            "skipped": int(skipped.group(1)) if skipped else 0}, elapsed


def main(modules):
    rows = []
    for module in modules:
        kernel, kt = run_in_kernel(module)
        stock, st = run_stock(module)
        rows.append((module, kernel, kt, stock, st))
        print(f"== {module}: kernel {kt:.0f}s, stock {st:.0f}s", flush=True)
        if "error" in kernel:
            print("   kernel run failed:", kernel["error"])
            continue
        print(f"   run: kernel {kernel['run']}, stock {stock['run']}")
        print(f"   failures: kernel {len(kernel['failures'])}, stock {len(stock['failures'])};"
              f" errors: kernel {len(kernel['errors'])}, stock {len(stock['errors'])};"
              f" skipped: kernel {kernel['skipped']}, stock {stock['skipped']}")
        stock_bad = set(stock["failures"]) | set(stock["errors"])
        extra = [t for t in kernel["failures"] + kernel["errors"] if t not in stock_bad]
        for t in extra:
            print("   only in kernel:", t)
            for d in kernel["details"]:
                if d.startswith(t + "\n"):
                    lines = d.strip().splitlines()
                    print("      " + "\n      ".join(lines[-4:]))
    return rows


if __name__ == "__main__":
    main(sys.argv[1:] or DEFAULT_MODULES)
