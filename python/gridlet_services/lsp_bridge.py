"""Language services for the editor: completion, signature help, hover and diagnostics.

The kernel calls `LSPBridge` from its language thread, one call at a time. The analysis runs in a
helper process (analysis_server.py under /usr/bin/python3 -I) that the bridge starts on first use
and keeps. Inside the kernel, jedi could reach workbook modules only by importing them through
the kernel's in-memory module loader: their top-level code would run, and it would see the sources
of now instead of those handed with the request. The helper only ever parses them, and whatever
jedi does there cannot touch the kernel's interpreter.

Each query hands the helper what changed since the previous one: the workbook's module sources
(`modules`, name -> source; a query without them keeps the last ones) and the search path, which
is the paths given to `update_sys_paths` followed by the kernel's `sys.path`.

`dirty_files`, unsaved editor buffers for one query, is a mapping path -> content or a list of
{"path", "content"} objects. A path "<virtual:NAME>" or a relative one ("m.py", "pkg/mod.py")
stands for a workbook module (or a module file next to them); an absolute path stands for that
file on disk. `path` names the edited buffer the same way, so that a buffer of module `m` is
analysed as `m`.

Positions: `line` 1-based, `column` 0-based (None: end of the line). Result entries:

- completions: {label, kind, detail, insert_text}; kind is one of module, class, function,
  variable, parameter, property, keyword, path;
- signatures: {label, documentation, parameters: [{label, documentation}]}, with
  `activeSignature` and `activeParameter` (the number of parameters when the cursor is past the
  last one, so none is highlighted);
- hover `contents`: markdown, a fenced signature or type line followed in "compact" mode by the
  first paragraph of the docstring, in "full" mode by the whole docstring and where the name is
  defined; None when there is nothing under the cursor;
- diagnostics: {line, column, end_line, end_column, severity ("error" | "warning"), message,
  source ("python" for the compiler, "pyflakes")}, lines 1-based and columns 0-based.

Every failure is reported through `error`; no operation raises.
"""
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

PYTHON = "/usr/bin/python3"
SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "analysis_server.py")


def _memory_folder():
    """A folder in memory (tmpfs) for the helper's files when there is one: module sources are
    rewritten on every change, and on a disk file system each rewrite can wait for the disk."""
    for d in (os.environ.get("XDG_RUNTIME_DIR"), "/dev/shm"):
        if d and os.path.isdir(d) and os.access(d, os.W_OK | os.X_OK):
            return d
    return None  # the ordinary temporary folder


class _BadRequest(Exception):
    pass


class HelperFailed(Exception):
    """The helper process died or stopped answering."""


class _Helper:
    """One analysis process and its two pipes."""

    def __init__(self, python, script):
        # The folder for the helper's files is made here, so that it goes away with a helper
        # that had to be killed.
        self.root = tempfile.mkdtemp(prefix="gridlet-analysis-", dir=_memory_folder())
        try:
            self.proc = subprocess.Popen([python, "-I", script, self.root], stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, cwd="/", close_fds=True)
        except BaseException:
            shutil.rmtree(self.root, ignore_errors=True)
            raise
        self._pending = bytearray()
        self.answered = 0

    def alive(self):
        return self.proc.poll() is None

    def request(self, line, request_id, timeout):
        try:
            self.proc.stdin.write(line)
            self.proc.stdin.flush()
        except (BrokenPipeError, OSError) as e:
            raise HelperFailed(self._ended(f"could not be written to ({e})"))
        fd = self.proc.stdout.fileno()
        deadline = time.monotonic() + timeout
        while True:
            nl = self._pending.find(b"\n")
            if nl >= 0:
                raw = bytes(self._pending[:nl])
                del self._pending[:nl + 1]
                try:
                    answer = json.loads(raw)
                except ValueError:
                    raise HelperFailed("it sent something that is not an answer")
                if isinstance(answer, dict) and answer.get("id") == request_id:
                    self.answered += 1
                    return answer
                continue  # an answer to an earlier request: stale
            left = deadline - time.monotonic()
            if left <= 0:
                raise HelperFailed(f"it did not answer within {timeout:g} s")
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                data = os.read(fd, 1 << 20)
                if not data:
                    raise HelperFailed(self._ended("ended"))
                self._pending += data

    def _ended(self, what):
        try:
            code = self.proc.wait(1)
        except subprocess.TimeoutExpired:
            return what
        return f"{what}, exit status {code}"

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            pass
        for f in (self.proc.stdin, self.proc.stdout):
            try:
                f.close()
            except OSError:
                pass
        shutil.rmtree(self.root, ignore_errors=True)


def _check_position(code, line, column, path):
    if code is None:
        code = ""
    if not isinstance(code, str):
        raise _BadRequest(f"code must be a string, not {type(code).__name__}")
    if isinstance(line, bool) or not isinstance(line, int):
        raise _BadRequest(f"line must be an integer, not {type(line).__name__}")
    count = code.count("\n") + 1
    if not 1 <= line <= count:
        raise _BadRequest(f"line {line} is outside the code (lines 1 to {count})")
    if column is not None and (isinstance(column, bool) or not isinstance(column, int)):
        raise _BadRequest(f"column must be an integer, not {type(column).__name__}")
    if path is not None and not isinstance(path, str):
        raise _BadRequest(f"path must be a string, not {type(path).__name__}")
    return code


def _dirty_entries(dirty_files):
    if not dirty_files:
        return []
    if isinstance(dirty_files, dict):
        items = list(dirty_files.items())
    elif isinstance(dirty_files, (list, tuple)):
        items = []
        for entry in dirty_files:
            if not isinstance(entry, dict):
                raise _BadRequest("dirty_files entries must be objects with path and content")
            items.append((entry.get("path"), entry.get("content")))
    else:
        raise _BadRequest("dirty_files must be a mapping path -> content or a list of {path, content}")
    for path, content in items:
        if not isinstance(path, str) or not isinstance(content, str):
            raise _BadRequest("dirty_files needs a text path and a text content for every file")
    return [[p, c] for p, c in items]


class LSPBridge:
    # A helper's first answer includes starting Python and importing jedi.
    FIRST_TIMEOUT = 40.0
    TIMEOUT = 20.0

    def __init__(self, python=PYTHON, server=SERVER):
        self.hover_mode = "compact"
        self._python = python
        self._server = server
        self._paths = []          # given by update_sys_paths
        self._modules = {}        # the last module sources handed in
        self._helper = None
        self._seq = 0
        self._sent_modules = None  # what the running helper holds
        self._sent_sys_path = None

    # ------------------------------------------------------------------ state
    def set_hover_mode(self, mode):
        self.hover_mode = mode if isinstance(mode, str) else "compact"

    def update_sys_paths(self, paths):
        if isinstance(paths, (list, tuple)):
            self._paths = [p for p in paths if isinstance(p, str)]

    def delete_module(self, module_name):
        if isinstance(module_name, str):
            self._modules.pop(module_name, None)

    def close(self):
        """Stop the helper process (a later query starts a new one)."""
        if self._helper is not None:
            self._helper.close()
            self._helper = None

    def _sys_path(self):
        out = []
        for p in self._paths + list(sys.path):
            if isinstance(p, str) and p and p not in out:
                out.append(p)
        return out

    # ------------------------------------------------------------------ queries
    def get_completions(self, code="", line=1, column=0, path=None, modules=None, dirty_files=None):
        return self._position_query("complete", {"completions": []}, code, line, column, path, modules,
                                    dirty_files)

    def get_signature_help(self, code="", line=1, column=0, path=None, modules=None, dirty_files=None):
        return self._position_query("signatures", {"signatures": [], "activeSignature": 0, "activeParameter": 0},
                                    code, line, column, path, modules, dirty_files)

    def get_hover(self, code="", line=1, column=0, path=None, modules=None, dirty_files=None):
        return self._position_query("hover", {"contents": None}, code, line, column, path, modules, dirty_files,
                                    mode="full" if self.hover_mode == "full" else "compact")

    def get_diagnostics(self, code="", module_name=None):
        empty = {"diagnostics": []}
        try:
            if code is None:
                code = ""
            if not isinstance(code, str):
                raise _BadRequest(f"code must be a string, not {type(code).__name__}")
            if module_name is not None and not isinstance(module_name, str):
                raise _BadRequest(f"module_name must be a string, not {type(module_name).__name__}")
            return self._ask(empty, {"op": "diagnostics", "code": code, "module_name": module_name}, view=False)
        except Exception as e:  # reported, never raised
            return dict(empty, error=str(e) or type(e).__name__)

    def _position_query(self, op, empty, code, line, column, path, modules, dirty_files, **extra):
        try:
            code = _check_position(code, line, column, path)
            if modules is not None:
                if not isinstance(modules, dict):
                    raise _BadRequest("modules must be a mapping name -> source")
                self._modules = {k: v for k, v in modules.items() if isinstance(k, str) and isinstance(v, str)}
            req = {"op": op, "code": code, "line": line, "column": column, "path": path,
                   "dirty": _dirty_entries(dirty_files), **extra}
            return self._ask(empty, req, view=True)
        except Exception as e:  # reported, never raised
            return dict(empty, error=str(e) or type(e).__name__)

    # ------------------------------------------------------------------ the helper
    def _ask(self, empty, req, view):
        helper = self._helper
        if helper is None or not helper.alive():
            if helper is not None:
                helper.close()  # it died while idle: this query goes to a new one
            helper = self._start()
        if view:
            self._add_view(req)
        self._seq += 1
        req["id"] = self._seq
        line = json.dumps(req, separators=(",", ":")).encode("ascii") + b"\n"
        timeout = self.TIMEOUT if helper.answered else self.FIRST_TIMEOUT
        try:
            answer = helper.request(line, self._seq, timeout)
        except HelperFailed as e:
            helper.close()
            self._helper = None
            try:
                self._start()  # once, now, so that it is ready for the next query
                tail = "; it has been restarted"
            except OSError as start_error:
                tail = f"; restarting it failed: {start_error}"
            return dict(empty, error=f"The analysis process failed: {e}{tail}")
        if "error" in answer:
            if view:  # the helper may hold part of this view: send it whole next time
                self._sent_modules = None
                self._sent_sys_path = None
            return dict(empty, error=str(answer["error"]))
        if view:
            self._sent_modules = dict(self._modules)
        result = dict(empty)
        result.update(answer.get("result") or {})
        result["error"] = None
        return result

    def _start(self):
        try:
            self._helper = _Helper(self._python, self._server)
        except OSError as e:
            raise OSError(f"could not start the analysis process {self._python}: {e}") from e
        self._sent_modules = None
        self._sent_sys_path = None
        return self._helper

    def _add_view(self, req):
        sent = self._sent_modules
        if sent is None:
            req["modules"] = {"reset": True, "set": dict(self._modules)}
        else:
            changed = {k: v for k, v in self._modules.items() if sent.get(k) is not v and sent.get(k) != v}
            dropped = [k for k in sent if k not in self._modules]
            if changed or dropped:
                req["modules"] = {"set": changed, "drop": dropped}
        path = self._sys_path()
        if path != self._sent_sys_path:
            req["sys_path"] = path
            self._sent_sys_path = path
