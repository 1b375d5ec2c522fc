"""Code analysis for the editor, run in a process of its own.

The language-service bridge starts this file with `/usr/bin/python3 -I` and keeps the process.
It reads one JSON request per line on stdin and answers each with one JSON line on stdout:

    {"id": N, "op": "complete" | "signatures" | "hover" | "diagnostics" | "ping", ...}
    -> {"id": N, "result": {...}}  or  {"id": N, "error": "text"}

Completions, signatures and hovers come from jedi, diagnostics from the compiler and pyflakes.
Nothing here imports or runs the analysed code: the workbook's modules are written as plain files
into a private folder that is the first entry of jedi's search path, so jedi parses them and
`import m` in the editor's code resolves to the workbook's `m` (as in the kernel, where workbook
modules come before every installed one). Fields of the jedi requests that change that view:

- "modules": {"set": {name: source}, "drop": [name], "reset": bool}: changes to the workbook's
  module sources since the previous request ("reset" first forgets all of them);
- "sys_path": [path]: the folders searched after the workbook's modules (sent when it changed);
- "dirty": [[path, content]]: unsaved editor buffers for this request only. A path
  "<virtual:NAME>", or a relative one ("m.py", "pkg/mod.py"), stands for a module in the private
  folder; an absolute path stands for that file on disk, whose content jedi then reads from here.
"""

import ast
import gc
import json
import os
import re
import select
import shutil
import signal
import sys
import tempfile
import time
import traceback
import warnings

try:
    from pyflakes import checker
except ImportError as e:  # diagnostics then report it; the rest still works
    checker = None
    _PYFLAKES_MISSING = f"pyflakes is not available: {e}"

_VIRTUAL = re.compile(r"^<virtual:([^>]+)>$")

# jedi's name types, as the editor's completion kinds
_KINDS = {
    "module": "module",
    "class": "class",
    "function": "function",
    "instance": "variable",
    "statement": "variable",
    "param": "parameter",
    "property": "property",
    "keyword": "keyword",
    "path": "path",
}

# pyflakes findings that fail at run time
_PYFLAKES_ERRORS = {
    "UndefinedName", "UndefinedExport", "UndefinedLocal", "DuplicateArgument",
    "ReturnOutsideFunction", "YieldOutsideFunction", "ContinueOutsideLoop", "BreakOutsideLoop",
    "TwoStarredExpressions", "TooManyExpressionsInStarredAssignment", "LateFutureImport",
    "FutureFeatureNotDefined", "DefaultExceptNotLast", "ForwardAnnotationSyntaxError",
}

# Names every workbook namespace has without importing them.
_EXTRA_BUILTINS = {"gridlet"}

_COMPACT_DOC_CHARS = 400


class RequestError(Exception):
    """A request the server cannot answer; its text goes back as `error`."""


def _module_name_of(path):
    m = _VIRTUAL.match(path)
    return m.group(1) if m else None


def _relative_module_file(path):
    """'m', 'm.py', 'pkg/mod.py' -> a safe relative file name ending in .py, else None."""
    parts = [p for p in path.replace("\\", "/").split("/") if p not in ("", ".")]
    if not parts or any(p == ".." for p in parts):
        return None
    if not parts[-1].endswith(".py"):
        parts[-1] += ".py"
    if not all(p[:-3].isidentifier() if i == len(parts) - 1 else p.isidentifier()
               for i, p in enumerate(parts)):
        return None
    return os.path.join(*parts)


def _first_paragraph(doc):
    para = re.split(r"\n\s*\n", doc.strip(), maxsplit=1)[0].strip()
    if len(para) > _COMPACT_DOC_CHARS:
        para = para[:_COMPACT_DOC_CHARS].rstrip() + "…"
    return para


_SECTION = re.compile(r"^(\s*)(Args|Arguments|Parameters|Params|Keyword Args|Keyword Arguments|"
                      r"Other Parameters)\s*:?\s*$")
_SPHINX_PARAM = re.compile(r"^\s*:param\s+(?:[^:]*\s)?\**(\w+)\s*:\s*(.*)$")
_ENTRY = re.compile(r"^\**(\w+)\s*(?:\(([^)]*)\))?\s*(:\s*(.*))?$")


def param_docs(doc):
    """Per-parameter text from a docstring in Sphinx, Google or NumPy style: name -> text."""
    out = {}
    lines = doc.splitlines()
    for line in lines:
        m = _SPHINX_PARAM.match(line)
        if m:
            out.setdefault(m.group(1), m.group(2).strip())
    i = 0
    while i < len(lines):
        m = _SECTION.match(lines[i])
        i += 1
        if not m:
            continue
        header_indent = len(m.group(1))
        if i < len(lines) and re.match(r"^\s*-{3,}\s*$", lines[i]):
            i += 1  # NumPy underline
        entry_indent = None
        current = None
        while i < len(lines):
            line = lines[i]
            if not line.strip():
                i += 1
                continue
            indent = len(line) - len(line.lstrip())
            underlined = i + 1 < len(lines) and re.match(r"^\s*-{3,}\s*$", lines[i + 1])
            if _SECTION.match(line) or underlined or indent < header_indent or (
                    entry_indent is not None and indent < entry_indent):
                break
            if entry_indent is None:
                entry_indent = indent
            if indent == entry_indent:
                e = _ENTRY.match(line.strip())
                if not e:
                    break
                current = e.group(1)
                # Google puts the text after the colon; NumPy puts the type there.
                numpy_style = " : " in line or line.rstrip().endswith(" :")
                text = "" if numpy_style else (e.group(4) or "").strip()
                out.setdefault(current, text)
            elif current is not None:
                joined = (out.get(current, "") + " " + line.strip()).strip()
                out[current] = joined
            i += 1
    return out


class AnalysisServer:
    def __init__(self, root):
        self.root = root
        self.module_dir = os.path.join(root, "modules")
        self.scratch_dir = os.path.join(root, "scratch")
        os.makedirs(self.module_dir, exist_ok=True)
        os.makedirs(self.scratch_dir, exist_ok=True)
        self.modules = {}        # workbook module name -> source
        self.written = {}        # relative file in module_dir -> content on disk
        self.sys_path = []
        self.overrides = {}      # absolute path -> (content, stamp) for this request
        self.was_overridden = {}  # absolute path -> stamp when it went back to its disk content
        self._last_stamp = 0.0
        self._jedi = None
        self._jedi_error = None
        self._environment = None
        self._project = None
        self.warmed = False

    # ------------------------------------------------------------------ jedi set-up
    def jedi(self):
        if self._jedi is None and self._jedi_error is None:
            try:
                import jedi
                from jedi.api.environment import InterpreterEnvironment
                from jedi.inference.compiled.subprocess import functions
            except Exception as e:  # reported with every jedi request
                self._jedi_error = f"jedi is not available: {e}"
            else:
                # Pickled parse trees in a folder of this process only, so that content that
                # came from an editor buffer never outlives the process.
                jedi.settings.cache_directory = os.path.join(self.root, "cache")
                self._environment = InterpreterEnvironment()
                self._hook_file_reads(functions, jedi)
                self._jedi = jedi
        if self._jedi_error:
            raise RequestError(self._jedi_error)
        return self._jedi

    def _hook_file_reads(self, functions, jedi):
        """Let jedi read unsaved buffers of files on disk instead of their saved content."""
        original = getattr(functions, "_from_loader", None)
        if original is None:
            return  # another jedi version: buffers of files on disk are not seen
        from jedi.file_io import KnownContentFileIO
        server = self

        class StampedContent(KnownContentFileIO):
            def __init__(self, path, content, stamp):
                super().__init__(path, content)
                self._stamp = stamp

            def get_last_modified(self):
                # The parse cache keys on this time: a new buffer content gets a new stamp, and
                # a file whose buffer went away is reparsed once from disk.
                return self._stamp

        def from_loader(loader, string):
            file_io, is_package = original(loader, string)
            if file_io is not None:
                p = str(file_io.path)
                if p in server.overrides:
                    content, stamp = server.overrides[p]
                    file_io = StampedContent(p, content, stamp)
                elif p in server.was_overridden:
                    mtime = file_io.get_last_modified() or 0.0
                    file_io = StampedContent(p, file_io.read(), max(mtime, server.was_overridden[p]))
            return file_io, is_package

        functions._from_loader = from_loader

    def _stamp(self):
        self._last_stamp = max(time.time(), self._last_stamp + 0.001)
        return self._last_stamp

    def project(self):
        jedi = self.jedi()
        if self._project is None:
            seen = set()
            path = []
            for p in [self.module_dir] + self.sys_path + sys.path:
                if isinstance(p, str) and p and p not in seen:
                    seen.add(p)
                    path.append(p)
            self._project = jedi.Project(self.module_dir, sys_path=path, smart_sys_path=False)
        return self._project

    # ------------------------------------------------------------------ sources
    def apply_view(self, req):
        mods = req.get("modules")
        if mods:
            if mods.get("reset"):
                self.modules.clear()
            for name in mods.get("drop") or ():
                self.modules.pop(name, None)
            self.modules.update(mods.get("set") or {})
        if "sys_path" in req:
            self.sys_path = [p for p in req["sys_path"] if isinstance(p, str)]
            self._project = None

        files = {}
        for name, source in self.modules.items():
            if isinstance(name, str) and name.isidentifier() and isinstance(source, str):
                files[name + ".py"] = source
        overrides = {}
        for path, content in req.get("dirty") or ():
            name = _module_name_of(path)
            if name is not None:
                if name.isidentifier():
                    files[name + ".py"] = content
            elif os.path.isabs(path):
                overrides[os.path.normpath(path)] = content
            else:
                rel = _relative_module_file(path)
                if rel is not None:
                    files[rel] = content
        self._sync_files(files)
        self._set_overrides(overrides)

    def _sync_files(self, files):
        for rel in [r for r in self.written if r not in files]:
            full = os.path.join(self.module_dir, rel)
            try:
                os.remove(full)
            except FileNotFoundError:
                pass
            del self.written[rel]
            # An empty folder left behind would still import as a namespace package.
            parent = os.path.dirname(full)
            while parent != self.module_dir:
                try:
                    os.rmdir(parent)
                except OSError:
                    break
                parent = os.path.dirname(parent)
        for rel, content in files.items():
            if self.written.get(rel) == content:
                continue
            full = os.path.join(self.module_dir, rel)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "w", encoding="utf-8", errors="surrogatepass") as f:
                f.write(content)
            # File times tick coarsely; a strictly newer time makes the parse cache see each
            # rewrite, however soon it follows the last one.
            ns = int(self._stamp() * 1e9)
            os.utime(full, ns=(ns, ns))
            self.written[rel] = content

    def _set_overrides(self, overrides):
        for path in self.overrides:
            if path not in overrides:
                self.was_overridden[path] = self._stamp()
        new = {}
        for path, content in overrides.items():
            old = self.overrides.get(path)
            new[path] = old if old is not None and old[0] == content else (content, self._stamp())
            self.was_overridden.pop(path, None)
        self.overrides = new

    def script(self, req):
        jedi = self.jedi()
        code = req.get("code", "")
        path = req.get("path")
        script_path = None
        if isinstance(path, str) and path:
            name = _module_name_of(path)
            if name is not None and name + ".py" in self.written:
                script_path = os.path.join(self.module_dir, name + ".py")
            elif os.path.isabs(path):
                script_path = path
            else:
                rel = _relative_module_file(path)
                if rel is not None and rel in self.written:
                    script_path = os.path.join(self.module_dir, rel)
                else:
                    safe = re.sub(r"[^A-Za-z0-9_.-]", "_", path)[-100:]
                    script_path = os.path.join(self.scratch_dir, safe if safe.endswith(".py") else safe + ".py")
        if script_path is None:
            script_path = os.path.join(self.scratch_dir, "editor.py")
        return jedi.Script(code, path=script_path, project=self.project(), environment=self._environment)

    # ------------------------------------------------------------------ operations
    def complete(self, req):
        self.apply_view(req)
        items = []
        for c in self.script(req).complete(req["line"], req["column"]):
            kind = _KINDS.get(c.type, "variable")
            items.append({"label": c.name, "kind": kind, "detail": _detail(c, kind),
                          "insert_text": c.name})
        return {"completions": items}

    def signatures(self, req):
        self.apply_view(req)
        sigs = self.script(req).get_signatures(req["line"], req["column"])
        out = []
        for s in sigs:
            doc = s.docstring(raw=True) or ""
            docs = param_docs(doc) if doc else {}
            params = [{"label": p.to_string(), "documentation": docs.get(p.name, "")} for p in s.params]
            out.append({"label": s.to_string(), "documentation": doc, "parameters": params})
        # The first signature that the arguments typed so far fit.
        active_sig = next((i for i, s in enumerate(sigs) if s.index is not None), 0)
        active_param = 0
        if sigs:
            s = sigs[active_sig]
            # Past the last parameter: an index no parameter has, so none is highlighted.
            active_param = s.index if s.index is not None else len(s.params)
        return {"signatures": out, "activeSignature": active_sig, "activeParameter": active_param}

    def hover(self, req):
        self.apply_view(req)
        script = self.script(req)
        line, column = req["line"], req["column"]
        full = req.get("mode") == "full"
        inferred = script.infer(line, column)
        named = script.goto(line, column)
        if not inferred and not named:
            inferred = [n for n in script.help(line, column) if n.type == "keyword"]
            if not inferred:
                return {"contents": None}
        target = named[0] if named else inferred[0]
        if target.type in ("statement", "param", "instance") or not inferred:
            types = []
            for n in inferred:
                label = n.name if n.type in ("instance", "class") else n.type
                if label not in types:
                    types.append(label)
            shown = ("(parameter) " if target.type == "param" else "") + target.name
            header = shown + (": " + " | ".join(types[:4]) if types else "")
            doc = (inferred[0].docstring(raw=True) or "") if (inferred and full) else ""
            source = target
        else:
            source = inferred[0]
            header = _hover_header(source)
            doc = source.docstring(raw=True) or ""
        parts = ["```python\n" + header + "\n```"]
        if doc.strip():
            parts.append(doc.strip() if full else _first_paragraph(doc))
        if full and source.module_name and source.line and source.type != "keyword":
            parts.append(f"Defined in `{source.module_name}`, line {source.line}")
        return {"contents": "\n\n".join(parts)}

    def diagnostics(self, req):
        code = req.get("code", "")
        module_name = req.get("module_name")
        filename = f"<virtual:{module_name}>" if module_name else "<editor>"
        lines = code.splitlines()
        out = []
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                tree = compile(code, filename, "exec", ast.PyCF_ONLY_AST, dont_inherit=True)
            except SyntaxError as e:
                out.append(_syntax_error(e, lines))
                tree = None
            except ValueError as e:  # NUL characters
                out.append({"line": 1, "column": 0, "end_line": 1, "end_column": 1,
                            "severity": "error", "message": str(e), "source": "python"})
                tree = None
            bad_lines = set()
            if tree is not None:
                try:
                    compile(tree, filename, "exec", dont_inherit=True)
                except SyntaxError as e:  # found past parsing: 'return' outside function, ...
                    d = _syntax_error(e, lines)
                    out.append(d)
                    bad_lines.add(d["line"])
        for w in caught:
            if w.filename != filename:
                continue
            lineno = w.lineno or 1
            text = lines[lineno - 1] if 0 < lineno <= len(lines) else ""
            out.append({"line": lineno, "column": len(text) - len(text.lstrip()), "end_line": lineno,
                        "end_column": len(text.rstrip()), "severity": "warning",
                        "message": str(w.message), "source": "python"})
        if tree is not None:
            if checker is None:
                raise RequestError(_PYFLAKES_MISSING)
            found = checker.Checker(tree, filename=filename, builtins=_EXTRA_BUILTINS).messages
            found.sort(key=lambda m: (m.lineno, m.col))
            for m in found:
                if m.lineno in bad_lines or type(m).__name__ == "IsLiteral":
                    continue  # the compiler said it already
                text = lines[m.lineno - 1] if 0 < m.lineno <= len(lines) else ""
                col = m.col or 0
                end = len(text.rstrip())
                name = m.message_args[0] if m.message_args else None
                if isinstance(name, str) and text.startswith(name, col):
                    end = col + len(name)
                out.append({"line": m.lineno, "column": col, "end_line": m.lineno,
                            "end_column": max(end, col + 1),
                            "severity": "error" if type(m).__name__ in _PYFLAKES_ERRORS else "warning",
                            "message": m.message % m.message_args, "source": "pyflakes"})
        return {"diagnostics": out}

    def warm_up(self):
        """Idle-time preparation: import jedi and load the builtins, which every request needs."""
        self.warmed = True
        try:
            jedi = self.jedi()
            jedi.Script("str.", path=os.path.join(self.scratch_dir, "warm.py"),
                        project=self.project(), environment=self._environment).complete(1, 4)
        except Exception:
            pass  # the requests themselves report what is wrong

    def handle(self, req):
        op = req.get("op")
        if op == "ping":
            return {}
        if op == "diagnostics":
            return self.diagnostics(req)
        method = {"complete": self.complete, "signatures": self.signatures, "hover": self.hover}.get(op)
        if method is None:
            raise RequestError(f"unknown operation {op!r}")
        return method(req)


def _detail(c, kind):
    if kind in ("function", "class", "module", "keyword", "property"):
        return f"{'def' if kind == 'function' else kind} {c.name}"
    text = (c.description or "").splitlines()
    first = text[0].strip() if text else ""
    return first if len(first) <= 80 else first[:79] + "…"


def _hover_header(n):
    t = n.type
    if t in ("function", "class"):
        sigs = [s.to_string() for s in n.get_signatures()[:3]]
        keyword = "def " if t == "function" else "class "
        return "\n".join(keyword + s for s in sigs) if sigs else keyword + n.name
    if t == "module":
        return "module " + n.name
    if t == "property":
        return "(property) " + n.name
    if t == "keyword":
        return "keyword " + n.name
    return n.name


def _syntax_error(e, lines):
    line = e.lineno or 1
    col = max((e.offset or 1) - 1, 0)
    end_line = e.end_lineno or line
    end_col = (e.end_offset or 0) - 1
    if (end_line, end_col) <= (line, col):
        end_line, end_col = line, col + 1
    return {"line": line, "column": col, "end_line": end_line, "end_column": end_col,
            "severity": "error", "message": f"{type(e).__name__}: {e.msg}", "source": "python"}


# Memory: jedi keeps large object graphs (parse trees, caches), and the interpreter's automatic
# full collections over them stall a request for 50 ms and more. So the automatic collector is
# off; after each answer the objects made since the last collection are collected (cheap) and
# the survivors frozen, so that later collections skip them; after a pause, everything is
# unfrozen and collected once, which reclaims frozen objects that became garbage since.
_FULL_COLLECT_AFTER_IDLE = 2.0
_MAX_DEFERRED_COLLECTS = 20


def _collect(full):
    if full:
        gc.unfreeze()
    gc.collect()
    gc.freeze()


def _read_lines(fd, server):
    """Request lines from `fd`, with warm-up and collections in the time between requests."""
    pending = bytearray()
    deferred = 0          # collections skipped because the next request was already waiting
    since_full = 0        # requests since the last full collection
    while True:
        nl = pending.find(b"\n")
        if nl >= 0:
            line = bytes(pending[:nl])
            del pending[:nl + 1]
            yield line
            since_full += 1
            waiting = pending.find(b"\n") >= 0 or select.select([fd], [], [], 0)[0]
            if not waiting or deferred >= _MAX_DEFERRED_COLLECTS:
                _collect(full=False)
                deferred = 0
            else:
                deferred += 1
            continue
        if not server.warmed:
            timeout = 0.2
        elif since_full:
            timeout = _FULL_COLLECT_AFTER_IDLE
        else:
            timeout = None
        if timeout is not None and not select.select([fd], [], [], timeout)[0]:
            if not server.warmed:
                server.warm_up()
                _collect(full=False)
            else:
                _collect(full=True)
                since_full = 0
            continue
        data = os.read(fd, 1 << 20)
        if not data:
            return
        pending += data


def _end_with_parent():
    """Ask Linux for SIGTERM when the kernel goes away, so that a long analysis stops at once
    instead of running on until it next reads its pipe. SIGTERM ends the process through
    SystemExit, which still removes its folder."""
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)
        PR_SET_PDEATHSIG = 1
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
    except (OSError, AttributeError):
        return  # not Linux: the closed pipe ends the process after its current request
    if os.getppid() == 1:  # the parent was already gone
        sys.exit(0)


def main():
    # Answers go out on a private copy of stdout; anything else written to fd 1 or sys.stdout
    # (by jedi, a compiled module, ...) lands on stderr instead of in the answers.
    out = os.fdopen(os.dup(1), "wb")
    os.dup2(2, 1)
    sys.stdout = sys.stderr
    # The folder is given by the bridge (which removes it if it has to kill this process).
    root = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="gridlet-analysis-")
    _end_with_parent()
    gc.disable()
    try:
        server = AnalysisServer(root)
        for line in _read_lines(sys.stdin.fileno(), server):
            if not line.strip():
                continue
            rid = None
            try:
                req = json.loads(line)
                rid = req.get("id")
                answer = {"id": rid, "result": server.handle(req)}
            except RequestError as e:
                answer = {"id": rid, "error": str(e)}
            except Exception as e:
                text = str(e) or type(e).__name__
                if not isinstance(e, (ValueError, TypeError)):
                    traceback.print_exc()
                answer = {"id": rid, "error": f"{type(e).__name__}: {text}"}
            out.write(json.dumps(answer, separators=(",", ":")).encode("ascii") + b"\n")
            out.flush()
    except (BrokenPipeError, KeyboardInterrupt, SystemExit):
        pass
    finally:
        # The closed pipe and the parent's SIGTERM come close together: the second must not
        # cut the removal short.
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
