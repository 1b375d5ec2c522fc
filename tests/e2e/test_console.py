"""gridlet-console against the real kernel.

Every test runs the console binary in script mode (a file, or commands piped to its standard
input); the console starts the kernel, serves a workbook folder and prints what the kernel
sends. One test per command family, then the example workbook's functions called through it.
"""

import json
import os
import pathlib
import pty
import queue
import re
import select
import signal
import subprocess
import textwrap
import threading
import time
import uuid

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
KERNEL = os.environ.get("GRIDLET_KERNEL", str(ROOT / "build" / "gridlet-kernel"))
CONSOLE = os.environ.get("GRIDLET_CONSOLE", str(pathlib.Path(KERNEL).with_name("gridlet-console")))
EXAMPLE = ROOT / "examples" / "workbook"


@pytest.fixture(autouse=True)
def _binaries():
    for path in (CONSOLE, KERNEL):
        assert os.access(path, os.X_OK), f"{path} is not built (cmake --build build)"


def write_folder(folder, files):
    folder.mkdir(parents=True, exist_ok=True)
    for name, text in files.items():
        (folder / name).write_text(textwrap.dedent(text).lstrip("\n"), encoding="utf-8")
    return folder


def run_console(tmp_path, script, folder=None, args=(), timeout=60):
    """Runs `script` through --script and returns the finished process (text output)."""
    path = tmp_path / f"script-{uuid.uuid4().hex[:8]}.txt"
    path.write_text(textwrap.dedent(script).lstrip("\n"), encoding="utf-8")
    cmd = [CONSOLE, "--kernel", KERNEL, "--script", str(path), *args]
    if folder is not None:
        cmd.append(str(folder))
    return subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=timeout)


def sections(stdout):
    """Output split at marker lines printed by `print("== NAME")`: {NAME: text after it}."""
    parts = re.split(r"^== (\S+)\n", stdout, flags=re.M)
    return {parts[i]: parts[i + 1] for i in range(1, len(parts) - 1, 2)}


class PipedConsole:
    """The console reading commands from a pipe, its output read line by line."""

    def __init__(self, folder=None, args=()):
        cmd = [CONSOLE, "--kernel", KERNEL, *args]
        if folder is not None:
            cmd.append(str(folder))
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def send(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def expect(self, wanted, timeout=10):
        """Lines up to and including the first equal to `wanted`."""
        seen = []
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            assert left > 0, f"no line {wanted!r} within {timeout}s; got {seen}"
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            assert line is not None, f"output ended before {wanted!r}; got {seen}"
            seen.append(line)
            if line == wanted:
                return seen

    def finish(self, timeout=15):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(5)
            raise AssertionError("the console did not exit")

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(5)


@pytest.fixture
def piped():
    made = []

    def make(*a, **kw):
        c = PipedConsole(*a, **kw)
        made.append(c)
        return c

    yield make
    for c in made:
        c.kill()


def kernels_with(marker):
    """Pids of live processes whose command line holds `marker`."""
    pids = []
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            cmdline = (entry / "cmdline").read_bytes()
        except OSError:
            continue
        if marker.encode() in cmdline and b"gridlet-kernel" in cmdline:
            pids.append(int(entry.name))
    return pids


# ------------------------------------------------------------------------------ Python code

def test_python_lines_blocks_output_and_errors(tmp_path):
    r = run_console(tmp_path, '''
        1 + 1
        print("to stdout"); print("to stderr", file=__import__("sys").stderr)
        for i in range(3):
            if i % 2:
                print("odd", i)
            else:
                print("even", i)
        def add(a, b):
            return a + b

        add(2, 3)
        total = (1 +
                 2)
        total
        s = """line1
        line2"""
        s
        # a comment line is skipped
        1 / 0
        print("after the error")
        ''')
    out = r.stdout
    expected = ["Out: 2", "to stdout", "to stderr", "even 0", "odd 1", "even 2", "Out: 5",
                "Out: 3", "Out: 'line1\\nline2'", "Traceback (most recent call last):",
                "ZeroDivisionError: division by zero", "after the error"]
    positions = [out.find(e) for e in expected]
    assert -1 not in positions, out
    assert positions == sorted(positions), out
    assert out.count("ZeroDivisionError") == 1, out
    assert r.returncode == 1, "a failed command makes the script fail"

    r = run_console(tmp_path, "1 / 0\nprint('not reached')\n", args=["--stop-on-error"])
    assert "ZeroDivisionError" in r.stdout and "not reached" not in r.stdout
    assert r.returncode == 1

    r = run_console(tmp_path, "x = 2\nx * 21\n%quit\nprint('not reached')\n", args=["--echo"])
    assert r.returncode == 0, r.stderr
    assert r.stdout == ">>> x = 2\n>>> x * 21\nOut: 42\n>>> %quit\n"


def test_blocks_are_grouped_like_the_python_prompt(tmp_path):
    r = run_console(tmp_path, '''
        @staticmethod
        def f(): pass
        x = 1 + \\
          2
        x
        try:
            1/0
        except ZeroDivisionError:
            print("caught")
        finally:
            print("finally")
        class A:
            def m(self):
                return 7
        A().m()
        if x > 2:
            print("big")
        print("after the if")
        d = {"a b": [1,
                     2]}
        d
        ''', args=["--echo"])
    assert r.returncode == 0, r.stdout + r.stderr
    assert r.stdout == textwrap.dedent('''\
        >>> @staticmethod
        ... def f(): pass
        >>> x = 1 + \\
        ...   2
        >>> x
        Out: 3
        >>> try:
        ...     1/0
        ... except ZeroDivisionError:
        ...     print("caught")
        ... finally:
        ...     print("finally")
        caught
        finally
        >>> class A:
        ...     def m(self):
        ...         return 7
        >>> A().m()
        Out: 7
        >>> if x > 2:
        ...     print("big")
        big
        >>> print("after the if")
        after the if
        >>> d = {"a b": [1,
        ...              2]}
        >>> d
        Out: {'a b': [1, 2]}
        ''')


def test_output_streams_while_the_code_runs(tmp_path, piped):
    gate = tmp_path / "gate"
    c = piped()
    c.send("import os, time")
    c.send(textwrap.dedent(f"""\
        if True:
            print('first')
            for _ in range(500):
                if os.path.exists({str(gate)!r}):
                    break
                time.sleep(0.02)
            print('second')
        """))
    c.expect("first")
    # 'second' cannot have been printed: the code is still waiting for the gate.
    assert c.lines.empty()
    gate.touch()
    c.expect("second")
    assert c.finish() == 0


# --------------------------------------------------------------------------- %call and %event

def test_call_arguments_results_and_tracebacks(tmp_path):
    folder = write_folder(tmp_path / "wb", {"mod.py": '''
        def echo(*args):
            return [type(a).__name__ + ":" + repr(a) for a in args]

        def shout(text):
            print("shouting", text)
            return text.upper()

        def fails(n):
            doubled = n * 2
            raise ValueError(f"bad {doubled}")

        def quiet():
            return None

        def on_event(name):
            print("event for", name)

        def on_bad_event():
            raise KeyError("no such cell")
        '''})
    r = run_console(tmp_path, '''
        print("== echo")
        %call mod.echo 1 2.5 true null "quoted text" 'single quoted' word [1, 2, {"a": 3}] {"k": [true]}
        print("== shout")
        %call mod.shout hello
        print("== fails")
        %call mod.fails 7
        print("== quiet")
        %call mod.quiet
        print("== missing")
        %call mod.missing
        %call nomodule.f
        %call notarget
        %call mod.echo [1, 2
        print("== event")
        %event mod.on_event Sheet1
        %event mod.on_bad_event
        print("== end")
        ''', folder)
    s = sections(r.stdout)
    args = [1, 2.5, True, None, "quoted text", "single quoted", "word", [1, 2, {"a": 3}], {"k": [True]}]
    assert s["echo"] == "Out: " + repr([type(a).__name__ + ":" + repr(a) for a in args]) + "\n"
    assert s["shout"] == "shouting hello\nOut: 'HELLO'\n"
    fails = s["fails"]
    assert 'File "<virtual:mod>", line 10, in fails' in fails
    assert 'raise ValueError(f"bad {doubled}")' in fails, "the module's own line is shown"
    assert fails.count("ValueError: bad 14") == 1, "the traceback is shown once"
    assert s["quiet"] == ""
    missing = s["missing"]
    assert "Function 'missing' not found in module 'mod'" in missing
    assert "No module named 'nomodule'" in missing
    assert "error: expected module.function, got 'notarget'" in missing
    assert "error: bad JSON argument: [1, 2" in missing
    assert "event for Sheet1" in s["event"]
    assert "KeyError: 'no such cell'" in s["event"]
    assert r.returncode == 1


# ------------------------------------------------------------------------------------ %stream

GEN = '''
    import time

    def count(n, delay=0.0):
        for i in range(n):
            yield i
            time.sleep(delay)

    def forever(delay=0.02):
        i = 0
        while True:
            yield {"i": i}
            i += 1
            time.sleep(delay)

    def broken():
        yield 1.5
        raise RuntimeError("generator broke")

    def plain():
        return 3
    '''


def test_stream_values_limits_and_failures(tmp_path):
    folder = write_folder(tmp_path / "wb", {"gen.py": GEN})
    r = run_console(tmp_path, '''
        print("== count")
        %stream gen.count 3
        print("== limit")
        %stream -n 2 gen.forever
        print("== broken")
        %stream gen.broken
        print("== plain")
        %stream gen.plain
        print("== badopt")
        %stream -n zero gen.count 1
        print("== end")
        ''', folder)
    s = sections(r.stdout)
    assert s["count"] == "0\n1\n2\n"
    assert s["limit"] == '{"i": 0}\n{"i": 1}\n[canceled]\n'
    assert s["broken"].startswith("1.5\n")
    assert "RuntimeError: generator broke" in s["broken"]
    assert s["broken"].count("RuntimeError: generator broke") == 1
    assert "Function plain is not a generator function" in s["plain"]
    assert s["badopt"] == "error: -n needs a positive number\n"
    assert r.returncode == 1


def test_ctrl_c_cancels_a_stream_then_ends_the_script(tmp_path, piped):
    folder = write_folder(tmp_path / "wb", {"gen.py": GEN})
    c = piped(folder)
    c.send("%stream gen.forever 0.05")
    c.expect('{"i": 1}')
    c.proc.send_signal(signal.SIGINT)
    c.expect("[canceled]")
    c.send("print('still here')")
    c.expect("still here")
    # Ctrl-C with no command running ends a script.
    c.proc.send_signal(signal.SIGINT)
    assert c.proc.wait(15) == 130


def test_ctrl_c_interrupts_a_running_command_and_shows_its_end(tmp_path, piped):
    c = piped(write_folder(tmp_path / "wb", {}))
    c.send("print('looping')")
    c.expect("looping")
    c.send("while True: pass")
    time.sleep(0.5)
    c.proc.send_signal(signal.SIGINT)
    # The run ends in the kernel with its traceback; the console keeps going.
    seen = c.expect("KeyboardInterrupt", timeout=15)
    assert any("Traceback" in line for line in seen)
    c.send("print('still here')")
    c.expect("still here")
    assert c.finish() == 1  # the interrupted command failed


# ------------------------------------------------------------------------- workbook requests

def test_workbook_requests_against_csv_sheets(tmp_path):
    folder = write_folder(tmp_path / "wb", {
        "data.csv": '''
            name,qty,price,ok
            apple,3,1.25,TRUE
            "pear, green",,2,false
            "say ""hi""",10,-0.5,
            ''',
        "notes.csv": 'text\n"42"\n',
        "odd.csv": '\ufeffa,"two\r\nlines"\r\n1e3,.5\r\n,x,\r\n',
    })
    r = run_console(tmp_path, '''
        r = gridlet.excel.range
        print("== names")
        gridlet.excel.sheet_names()
        print("== reads")
        r("data!A2").value
        r("A1:B2").value
        r("'data'!$B$2:$C$4").value
        r("data!D:D").value
        r("data!3:3").value
        r("notes!A2").value
        r("data!Z99").value is None
        print("== writes")
        r("data!F1").value = "total"
        r("data!F2:G3").value = [[1, 2], [3, 4]]
        r("data!H1:H2").value = 0
        r("data!A6").value = [["x", 1.5], ["y"]]
        import datetime
        r("notes!B1").value = datetime.date(2024, 5, 1)
        r("notes!B1").value
        %show data!F1:H3
        %show data!A6:B7
        %sheets
        print("== odd")
        r("odd").value
        r("odd!").value == r("odd!A1:B3").value
        r("'odd'!B:B").value
        print("== errors")
        r("data!F2:G3").value = [1, 2, 3]
        r("nosheet!A1").value
        r("data!A0").value
        gridlet.messaging.send_request_sync({"action": "bogus"})["error"]
        print("== end")
        ''', folder)
    s = sections(r.stdout)
    assert s["names"] == "Out: ['data', 'notes', 'odd']\n"
    assert s["reads"] == "\n".join([
        "Out: 'apple'",
        "Out: [['name', 'qty'], ['apple', 3]]",
        "Out: [[3, 1.25], [None, 2], [10, -0.5]]",
        "Out: [['ok'], [True], [False], [None]]",
        "Out: [['pear, green', None, 2, False]]",
        "Out: '42'",
        "Out: True",
    ]) + "\n"
    writes = s["writes"]
    assert "Out: datetime.date(2024, 5, 1)" in writes
    assert "data\n   F      G  H\n1  total     0\n2  1      2  0\n3  3      4\n" in writes
    assert "data\n   A  B\n6  x  1.5\n7  y\n" in writes
    assert "data  A1:H7\nnotes  A1:B2\nodd  A1:B3\n" in writes
    assert s["odd"] == ("Out: [['a', 'two\\r\\nlines'], [1000.0, 0.5], [None, 'x']]\n"
                        "Out: True\n"
                        "Out: [['two\\r\\nlines'], [0.5], ['x']]\n")
    errors = s["errors"]
    assert "RuntimeError: set_range failed: values are 1x3 but range 'data!F2:G3' is 2x2" in errors
    assert "RuntimeError: get_range failed: no sheet named 'nosheet'" in errors
    assert "RuntimeError: get_range failed: bad range address 'data!A0'" in errors
    assert "Out: \"unknown action 'bogus'\"" in errors
    assert r.returncode == 1


# ---------------------------------------------------------------------- modules from a folder

def test_module_files_are_sent_updated_and_deleted(tmp_path):
    folder = write_folder(tmp_path / "wb", {
        "m.py": "VALUE = 1\n\ndef value():\n    return VALUE\n",
        "not-a-module.py": "x = 1\n",
        "notes.txt": "ignored\n",
    })
    m, n = folder / "m.py", folder / "n.py"
    r = run_console(tmp_path, f'''
        print("== first")
        %modules
        %call m.value
        print("== edited")
        _ = open({str(m)!r}, "w").write("VALUE = 2\\n\\ndef value():\\n    return VALUE\\n")
        %sync
        %call m.value
        print("== polled")
        _ = open({str(n)!r}, "w").write("def hello():\\n    return 'hi'\\n")
        import time; time.sleep(1.0)
        %call n.hello
        print("== deleted")
        import os; os.remove({str(m)!r})
        %sync
        %call m.value
        %modules
        print("== end")
        ''', folder, args=["--poll", "0.2"])
    s = sections(r.stdout)
    assert s["first"] == f"m  {m}\nOut: 1\n"
    assert s["edited"].endswith("Out: 2\n")
    assert s["polled"] == "Out: 'hi'\n"
    assert "No module named 'm'" in s["deleted"]
    assert s["deleted"].endswith(f"n  {n}\n")
    assert "not-a-module.py" in r.stderr and "not a module name" in r.stderr

    # Without polling, a stream of a module the kernel lacks makes the kernel ask for it; the
    # console then finds the new file.
    g = folder / "g.py"
    r = run_console(tmp_path, f'''
        _ = open({str(g)!r}, "w").write("def letters():\\n    yield 'a'\\n    yield 'b'\\n")
        %stream g.letters
        ''', folder, args=["--poll", "0"])
    assert r.stdout.endswith('"a"\n"b"\n'), r.stdout + r.stderr
    assert r.returncode == 0


# ------------------------------------------------------------- paths, objects, reset, language

def test_paths_objects_reset_and_language_commands(tmp_path):
    extra = tmp_path / "extra"
    extra.mkdir()
    r = run_console(tmp_path, f'''
        print("== added")
        %paths add {extra}
        print("== listed")
        %paths
        print("== removed")
        %paths remove {extra}
        print("== reset")
        %paths reset
        print("== objects")
        %objects
        gridlet._kernel_instance.save_object("answer", [1, 2, 3])
        %objects
        print("== namespace")
        x = 41
        x + 1
        %reset
        x
        print("== complete")
        %complete import jso
        print("== hover")
        %hover len
        print("== check")
        %check import os
        %check ok = 1
        print("== end")
        ''')
    s = sections(r.stdout)
    assert str(extra) in s["added"].splitlines()
    assert str(extra) in s["listed"].splitlines()
    assert "/usr/lib/python3.11" in s["listed"].splitlines()
    assert str(extra) not in s["removed"] and s["removed"]
    assert str(extra) not in s["reset"] and s["reset"]
    assert s["objects"] == "(no objects kept)\nanswer  list  [1, 2, 3]\n"
    assert s["namespace"].startswith("Out: 42\nnamespace cleared\n")
    assert "NameError: name 'x' is not defined" in s["namespace"]
    assert "json  (module)" in s["complete"].splitlines()
    assert "Return the number of items in a container." in s["hover"]
    assert s["check"] == "line 1, column 0: warning: 'os' imported but unused\nno problems found\n"
    assert r.returncode == 1  # the NameError


# ----------------------------------------------------------------------------- long messages

def test_long_messages_travel_as_chunks_both_ways(tmp_path):
    body = "\n".join(f'V{i} = "{"é" * 60}{i}"' for i in range(3000))
    folder = write_folder(tmp_path / "wb", {
        "big.py": body + "\n\ndef count():\n    return sum(1 for k in globals() if k.startswith('V'))\n",
    })
    assert len((folder / "big.py").read_text()) > 3 * 65536
    r = run_console(tmp_path, '''
        %call big.count
        len("ü" * 150000)
        "ü" * 150000
        ''', folder, args=["--verbose"])
    lines = r.stdout.splitlines()
    assert lines[:2] == ["Out: 3000", "Out: 150000"]
    assert lines[2] == "Out: '" + "ü" * 150000 + "'"
    # The trace shows the start of each frame: a chunk whose data opens the update_module.
    assert re.search(r'^>> \{"type":"chunk",[^\n]*"data":"\{\\"type\\":\\"update_module', r.stderr, re.M)
    assert re.search(r'^<< \{"type":"chunk",', r.stderr, re.M)
    assert r.returncode == 0


# ------------------------------------------------------------------ terminal, time-outs, loss

def test_interactive_prompt_on_a_terminal(tmp_path):
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(CONSOLE, [CONSOLE, "--kernel", KERNEL, str(EXAMPLE)])
    seen = ""

    def until(text, timeout=10):
        nonlocal seen
        deadline = time.monotonic() + timeout
        while text not in seen:
            left = deadline - time.monotonic()
            assert left > 0, f"no {text!r} on the terminal within {timeout}s; got {seen!r}"
            ready, _, _ = select.select([fd], [], [], min(left, 0.1))
            if ready:
                try:
                    seen += os.read(fd, 65536).decode(errors="replace")
                except OSError:
                    break
        assert text in seen, seen
        at = seen.index(text) + len(text)
        got, seen = seen[:at], seen[at:]
        return got

    try:
        banner = until(">>> ")
        assert "workbook 'workbook' (sheets: Sales; modules: events, reports)" in banner
        os.write(fd, b"1 + 1\n")
        assert "Out: 2" in until(">>> ")
        os.write(fd, b"for i in range(2):\n")
        until("... ")
        os.write(fd, b"    print('row', i)\n")
        until("... ")
        os.write(fd, b"\n")
        out = until(">>> ")
        assert "row 0" in out and "row 1" in out
        # Ctrl-C at a continuation prompt drops the block being typed.
        os.write(fd, b"if True:\n")
        until("... ")
        os.write(fd, b"\x03")
        assert "KeyboardInterrupt" in until(">>> ")
        os.write(fd, b"%stream reports.running_total Sales!E2:E13 0.2\n")
        until("4400.0")
        os.write(fd, b"\x03")
        assert "[canceled]" in until(">>> ")
        os.write(fd, b"\x04")  # Ctrl-D leaves
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            time.sleep(0.05)
        else:
            raise AssertionError("the console did not exit after Ctrl-D")
        assert os.waitstatus_to_exitcode(status) == 0
        pid = None
    finally:
        if pid:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        os.close(fd)


def test_timeouts_and_a_lost_kernel(tmp_path):
    r = run_console(tmp_path, '''
        import time; time.sleep(5)
        print("the next command runs")
        ''', args=["--timeout", "0.5"])
    assert "no reply within 0.5 s" in r.stderr
    assert r.stdout == "the next command runs\n"
    assert r.returncode == 1

    r = run_console(tmp_path, '''
        print("before")
        import os; os._exit(7)
        print("never")
        ''')
    assert r.stdout == "before\n"
    assert "connection to the kernel lost" in r.stderr
    assert r.returncode == 3


# ---------------------------------------------------------------------- the example workbook

def test_example_workbook_functions(tmp_path):
    r = run_console(tmp_path, '''
        print("== summary")
        %call reports.summary Sales!E2:E13
        %call reports.summary
        print("== by_region")
        %call reports.by_region
        print("== running_total")
        %stream reports.running_total Sales!E2:E5 0
        print("== event")
        %event events.on_sales_changed
        %show Sales!G1:H1
        print("== without_pandas")
        import sys; sys.modules["pandas"] = None
        %call reports.by_region
        print("== text_range")
        %call reports.summary Sales!A2:B3
        print("== end")
        ''', EXAMPLE)
    s = sections(r.stdout)
    summary = "Out: [['count', 12], ['total', 27250.0], ['mean', 2270.83], ['min', 1500.0], ['max', 3000.0]]\n"
    assert s["summary"] == summary * 2
    by_region = s["by_region"]
    assert re.search(r"Region\s+Units\s+Revenue", by_region), by_region
    for row in (r"North\s+435\s+9625\.0", r"South\s+390\s+8575\.0", r"West\s+420\s+9050\.0"):
        assert re.search(row, by_region), by_region
    assert s["running_total"] == "2400.0\n4400.0\n6775.0\n9775.0\n"
    assert s["event"] == ("Sales changed: total revenue is now 27250.0\n"
                          "Sales\n   G              H\n1  Total revenue  27250\n")
    assert s["without_pandas"] == ("Out: [['Region', 'Units', 'Revenue'], ['North', 435, 9625.0], "
                                   "['South', 390, 8575.0], ['West', 420, 9050.0]]\n")
    assert "ValueError: no numbers in Sales!A2:B3" in s["text_range"]


# ----------------------------------------------------------------------------- command line

def test_command_line_and_clean_exit(tmp_path):
    r = subprocess.run([CONSOLE, "--help"], capture_output=True, text=True, timeout=10)
    assert r.returncode == 0 and r.stdout.startswith("Usage: gridlet-console")
    for args, text in ([["--bogus"], "unknown option --bogus"],
                       [["--timeout", "soon"], "--timeout needs a number of seconds"],
                       [[str(tmp_path / "missing")], "no folder"],
                       [["--script", str(tmp_path / "missing.txt")], "cannot read"]):
        r = subprocess.run([CONSOLE, "--kernel", KERNEL, *args], capture_output=True, text=True,
                           stdin=subprocess.DEVNULL, timeout=10)
        assert r.returncode == 2 and text in r.stderr, (args, r.stderr)

    r = subprocess.run([CONSOLE, "--kernel", "/bin/false", "--script", "-"], input="1\n",
                       capture_output=True, text=True, timeout=20)
    assert r.returncode == 3
    assert "the kernel ended (exit 1) before it connected" in r.stderr

    marker = f"wb-{uuid.uuid4().hex[:10]}"
    r = run_console(tmp_path, "print('hello')\n", args=["--workbook-id", marker])
    assert r.returncode == 0 and r.stdout == "hello\n", r.stderr
    assert kernels_with(marker) == [], "the kernel is gone when the console exits"

    # Commands piped to standard input work like a script.
    r = subprocess.run([CONSOLE, "--kernel", KERNEL], input="6 * 7\n", capture_output=True,
                       text=True, timeout=30)
    assert r.returncode == 0 and r.stdout == "Out: 42\n", r.stderr


def test_both_binaries_print_the_project_version_and_exit_without_connecting(tmp_path):
    version = re.search(r"project\(\S+\s+VERSION\s+(\S+)", (ROOT / "CMakeLists.txt").read_text()).group(1)
    marker = f"wb-{uuid.uuid4().hex[:10]}"
    # Given with the usual arguments (a port where nothing listens, a folder, a script), --version
    # still only prints: no kernel is started and no connection is tried.
    for cmd, name in (([KERNEL, marker, "1", "--version"], "gridlet-kernel"),
                      ([CONSOLE, "--kernel", KERNEL, "--workbook-id", marker, "--version",
                        str(tmp_path)], "gridlet-console")):
        r = subprocess.run(cmd, capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=10)
        assert (r.returncode, r.stdout, r.stderr) == (0, f"{name} {version}\n", ""), cmd
    assert kernels_with(marker) == []


# --------------------------------------------------------------------------- pictures

def _png_size(path):
    raw = pathlib.Path(path).read_bytes()
    assert raw[:8] == b"\x89PNG\r\n\x1a\n" and raw[12:16] == b"IHDR"
    return int.from_bytes(raw[16:20], "big"), int.from_bytes(raw[20:24], "big")


def test_display_data_and_pictures_placed_in_the_sheet(tmp_path):
    images = tmp_path / "images"
    saved = tmp_path / "chart.png"
    r = run_console(tmp_path, f'''
        print("== display")
        gridlet.display({{"a": 1}})
        import matplotlib.pyplot as plt
        fig = plt.figure(figsize=(2, 1), dpi=100); plt.plot([1, 2]); plt.show()
        plt.figure(figsize=(1, 1), dpi=50); gridlet.display(plt.gcf(), figure_formats=["png", "svg"]); plt.close("all")
        print("== chart")
        %call reports.sales_chart
        %call reports.sales_chart Sales Sales!G3
        %call reports.sales_chart Sales Sales!B20 other
        from matplotlib.figure import Figure
        gridlet.excel.range("Sales!J1:K2").add_picture(Figure(figsize=(2, 1)), width=100)["name"]
        %pictures
        %show Sales!G1:H1
        %save-picture 'Sales chart' {saved}
        print("== missing")
        %save-picture nothing {tmp_path / "x.png"}
        print("== end")
        ''', EXAMPLE, args=["--images", str(images)])
    s = sections(r.stdout)
    assert s["display"] == (
        "{'a': 1}\n"
        "<Figure size 200x100 with 1 Axes>\n"
        f"[image/png 200\u00d7100 \u2192 {images}/figure-1.png]\n"
        "<Figure size 50x50 with 0 Axes>\n"
        f"[image/png 50\u00d750 \u2192 {images}/figure-2.png]\n"
        f"[image/svg+xml \u2192 {images}/figure-2.svg]\n")
    assert _png_size(images / "figure-1.png") == (200, 100)
    assert (images / "figure-2.svg").read_text().lstrip().startswith("<?xml")
    assert sorted(p.name for p in images.iterdir()) == ["figure-1.png", "figure-2.png", "figure-2.svg"]
    chart = s["chart"].splitlines()
    assert chart[:4] == ["Out: 'Sales chart at Sales!G3'"] * 2 + ["Out: 'other at Sales!B20'", "Out: 'Picture 3'"]
    size = saved.stat().st_size
    assert re.fullmatch(rf"Sales chart  Sales!G3  640\u00d7360  {size} bytes", chart[4])
    assert re.fullmatch(r"other  Sales!B20  640\u00d7360  \d+ bytes", chart[5])
    assert re.fullmatch(r"Picture 3  Sales!J1  200\u00d7100 shown 100\u00d750  \d+ bytes", chart[6])
    assert chart[7:] == ["Sales", "   G  H", "1", "picture 'Sales chart' at G3, 640\u00d7360",
                         "picture 'other' at B20, 640\u00d7360", "picture 'Picture 3' at J1, 200\u00d7100",
                         f"wrote {size} bytes to {saved}"]
    assert _png_size(saved) == (640, 360)
    assert s["missing"] == "error: no picture named 'nothing' (%pictures lists them)\n"
    assert r.returncode == 1


def test_images_go_to_a_folder_made_for_the_session(tmp_path):
    r = run_console(tmp_path, '''
        import matplotlib.pyplot as plt
        _ = plt.plot([1, 2, 3])
        ''')
    assert r.returncode == 0, r.stderr
    m = re.fullmatch(r"<Figure size 640x480 with 1 Axes>\n"
                     r"\[image/png 640\u00d7480 \u2192 (/\S+/gridlet-console-\w+)/figure-1\.png\]\n", r.stdout)
    assert m, r.stdout
    try:
        assert _png_size(pathlib.Path(m.group(1)) / "figure-1.png") == (640, 480)
    finally:
        for f in pathlib.Path(m.group(1)).iterdir():
            f.unlink()
        pathlib.Path(m.group(1)).rmdir()
# ----------------------------------------------------------------------------- secure session

# Started by the console in place of the kernel: checks the console's certificate against the pin
# it was given, tries the upgrade without the token and with a wrong one, writes what it saw to
# the file named in PROBE_OUT, then becomes the real kernel.
PROBE_KERNEL = r'''#!/usr/bin/python3
import hashlib, json, os, socket, ssl, sys

port = int(sys.argv[2])
seen = {"secured": os.environ.get("GRIDLET_SECURED"), "has_token": "GRIDLET_AUTH_TOKEN" in os.environ}
pin = os.environ.get("GRIDLET_TLS_PIN", "")
ctx = ssl.create_default_context()
ctx.check_hostname = False
ctx.verify_mode = ssl.CERT_NONE

def upgrade(authorization):
    raw = socket.create_connection(("127.0.0.1", port), timeout=10)
    s = ctx.wrap_socket(raw) if pin else raw
    if pin:
        seen["pin_matches"] = "sha256:" + hashlib.sha256(s.getpeercert(True)).hexdigest() == pin
    lines = ["GET /ws/kernel/probe HTTP/1.1", f"Host: 127.0.0.1:{port}", "Upgrade: websocket",
             "Connection: Upgrade", "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==",
             "Sec-WebSocket-Version: 13"]
    if authorization:
        lines.append("Authorization: " + authorization)
    s.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
    answer = b""
    while b"\r\n" not in answer:
        more = s.recv(4096)
        if not more:
            break
        answer += more
    s.close()
    return answer.split(b"\r\n")[0].decode()

seen["no_token"] = upgrade(None)
seen["wrong_token"] = upgrade("Bearer not-the-session-token")
with open(os.environ["PROBE_OUT"], "w") as f:
    json.dump(seen, f)
os.execv(os.environ["REAL_KERNEL"], [os.environ["REAL_KERNEL"], *sys.argv[1:]])
'''


@pytest.mark.parametrize("insecure", [False, True], ids=["wss-default", "insecure-ws"])
def test_console_session_is_pinned_tls_with_a_token_by_default(tmp_path, insecure):
    probe = tmp_path / "probe-kernel"
    probe.write_text(PROBE_KERNEL)
    probe.chmod(0o755)
    out = tmp_path / "probe.json"
    script = tmp_path / "script.txt"
    script.write_text(textwrap.dedent('''
        import os
        print(os.environ.get("GRIDLET_SECURED"), "GRIDLET_AUTH_TOKEN" in os.environ)
        print(os.environ.get("GRIDLET_TLS_PIN", "-")[:7])
        6 * 7
        ''').lstrip())
    cmd = [CONSOLE, "--kernel", str(probe), "--script", str(script), "--log-level", "DEBUG",
           "--kernel-log", str(tmp_path / "kernel.log")] + (["--insecure"] if insecure else [])
    env = dict(os.environ, PROBE_OUT=str(out), REAL_KERNEL=KERNEL)
    r = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60,
                       env=env)
    assert r.returncode == 0, r.stderr
    seen = json.loads(out.read_text())
    # Without the session's token the console answers 401, and says so.
    assert seen["no_token"] == "HTTP/1.1 401 Unauthorized"
    assert seen["wrong_token"] == "HTTP/1.1 401 Unauthorized"
    assert "gridlet-console: refused a connection without a token (HTTP 401)" in r.stderr
    assert "gridlet-console: refused a connection with a wrong token (HTTP 401)" in r.stderr
    assert seen["has_token"] is True
    if insecure:
        assert seen["secured"] == "0" and "pin_matches" not in seen
        assert r.stdout == "0 False\n-\nOut: 42\n"
    else:
        assert seen["secured"] == "1" and seen["pin_matches"] is True
        assert r.stdout == "1 False\nsha256:\nOut: 42\n"
    log = (tmp_path / "kernel.log").read_text()
    assert ("Connecting to ws://" if insecure else "Connecting to wss://") in log
    assert "Kernel connected for workbook" in log


def test_output_holding_a_lone_surrogate_is_shown(tmp_path):
    # The kernel escapes it (\ud800); the console reads the message and shows U+FFFD for it.
    r = run_console(tmp_path, '''
        print("before\\ud800after")
        "x\\udc80y"
        1 + 1
        ''')
    out = r.stdout
    assert "before\ufffdafter" in out and "Out: 'x\\udc80y'" in out and "Out: 2" in out, out
    assert "not a JSON object" not in out + r.stderr
