"""Language services for the editor: completion, signature help, hover and diagnostics.

Names come from the code being edited, the workbook's in-memory modules handed with each
request and the builtins. Nothing is imported or executed. Failures are reported through
`error`, never raised.
"""
import ast
import builtins
import keyword
import re

_IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*$")


def _definitions(source):
    """Top-level functions, classes and assignments of a source text: name -> (kind, node)."""
    try:
        tree = ast.parse(source or "")
    except SyntaxError:
        return {}
    out = {}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            out[node.name] = ("function", node)
        elif isinstance(node, ast.ClassDef):
            out[node.name] = ("class", node)
        elif isinstance(node, ast.Assign):
            for t in node.targets:
                if isinstance(t, ast.Name):
                    out[t.id] = ("variable", node)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            for alias in node.names:
                out[(alias.asname or alias.name).split(".")[0]] = ("module", node)
    return out


def _line_prefix(code, line, column):
    lines = (code or "").splitlines() or [""]
    idx = max(0, min(int(line or 1) - 1, len(lines) - 1))
    text = lines[idx]
    return text[: max(0, int(column or 0))] if column is not None else text


def _signature_text(name, node):
    if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
        params = [a.arg for a in node.args.args]
        return f"{name}({', '.join(params)})", params, ast.get_docstring(node) or ""
    return name, [], ""


class LSPBridge:
    def __init__(self):
        self.hover_mode = "compact"
        self.sys_paths = []

    def set_hover_mode(self, mode):
        self.hover_mode = mode

    def update_sys_paths(self, paths):
        self.sys_paths = list(paths)

    def delete_module(self, module_name):
        return None

    def _scope(self, code, modules):
        scope = _definitions(code)
        return scope, {name: _definitions(src) for name, src in (modules or {}).items()}

    def get_completions(self, code="", line=1, column=0, path=None, modules=None, dirty_files=None):
        try:
            prefix = _line_prefix(code, line, column)
            scope, mods = self._scope(code, modules)
            m = re.search(r"([A-Za-z_][A-Za-z0-9_]*)\.([A-Za-z0-9_]*)$", prefix)
            items = []
            if m and m.group(1) in mods:
                word = m.group(2)
                items = [(n, k) for n, (k, _) in mods[m.group(1)].items() if n.startswith(word)]
            else:
                word_m = re.search(r"[A-Za-z_][A-Za-z0-9_]*$", prefix)
                word = word_m.group(0) if word_m else ""
                pool = {n: k for n, (k, _) in scope.items()}
                for n in mods:
                    pool.setdefault(n, "module")
                for n in dir(builtins):
                    pool.setdefault(n, "builtin")
                for n in keyword.kwlist:
                    pool.setdefault(n, "keyword")
                items = [(n, k) for n, k in pool.items() if n.startswith(word) and not n.startswith("__")]
            items.sort()
            return {"completions": [{"label": n, "kind": k, "detail": k, "insert_text": n} for n, k in items[:200]],
                    "error": None}
        except Exception as e:  # reported, never raised
            return {"completions": [], "error": str(e)}

    def get_signature_help(self, code="", line=1, column=0, path=None, modules=None, dirty_files=None):
        try:
            prefix = _line_prefix(code, line, column)
            depth, i = 0, len(prefix) - 1
            commas = 0
            while i >= 0:
                ch = prefix[i]
                if ch == ")":
                    depth += 1
                elif ch == "(":
                    if depth == 0:
                        break
                    depth -= 1
                elif ch == "," and depth == 0:
                    commas += 1
                i -= 1
            if i < 0:
                return {"signatures": [], "activeSignature": 0, "activeParameter": 0, "error": None}
            m = re.search(r"([A-Za-z_][A-Za-z0-9_.]*)$", prefix[:i])
            if not m:
                return {"signatures": [], "activeSignature": 0, "activeParameter": 0, "error": None}
            node = self._lookup(m.group(1), code, modules)
            if node is None:
                return {"signatures": [], "activeSignature": 0, "activeParameter": 0, "error": None}
            label, params, doc = _signature_text(m.group(1).split(".")[-1], node)
            sig = {"label": label, "documentation": doc,
                   "parameters": [{"label": p, "documentation": ""} for p in params]}
            return {"signatures": [sig], "activeSignature": 0,
                    "activeParameter": min(commas, max(0, len(params) - 1)), "error": None}
        except Exception as e:
            return {"signatures": [], "activeSignature": 0, "activeParameter": 0, "error": str(e)}

    def _lookup(self, dotted, code, modules):
        scope, mods = self._scope(code, modules)
        parts = dotted.split(".")
        if len(parts) == 2 and parts[0] in mods and parts[1] in mods[parts[0]]:
            return mods[parts[0]][parts[1]][1]
        if parts[-1] in scope:
            return scope[parts[-1]][1]
        return None

    def get_hover(self, code="", line=1, column=0, path=None, modules=None, dirty_files=None):
        try:
            lines = (code or "").splitlines() or [""]
            text = lines[max(0, min(int(line or 1) - 1, len(lines) - 1))]
            col = max(0, int(column or 0))
            start = col
            while start > 0 and (text[start - 1].isalnum() or text[start - 1] in "_."):
                start -= 1
            end = col
            while end < len(text) and (text[end].isalnum() or text[end] == "_"):
                end += 1
            word = text[start:end]
            if not word:
                return {"contents": None, "error": None}
            node = self._lookup(word, code, modules)
            if node is None:
                return {"contents": None, "error": None}
            label, _, doc = _signature_text(word.split(".")[-1], node)
            if self.hover_mode == "compact":
                first = doc.strip().splitlines()[0] if doc.strip() else ""
                return {"contents": f"```python\n{label}\n```" + (f"\n{first}" if first else ""), "error": None}
            return {"contents": f"```python\n{label}\n```\n\n{doc}".rstrip(), "error": None}
        except Exception as e:
            return {"contents": None, "error": str(e)}

    def get_diagnostics(self, code="", module_name=None):
        diags = []
        try:
            compile(code or "", module_name or "<editor>", "exec")
        except SyntaxError as e:
            line = e.lineno or 1
            col = e.offset or 1
            diags.append({"line": line, "column": col, "end_line": e.end_lineno or line,
                          "end_column": e.end_offset or col + 1, "severity": "error",
                          "message": e.msg, "source": "python"})
            return {"diagnostics": diags, "error": None}
        except Exception as e:
            return {"diagnostics": [], "error": str(e)}
        try:
            from pyflakes.api import check
            from pyflakes.reporter import Reporter
        except ImportError:
            return {"diagnostics": diags, "error": None}

        class _Collect(Reporter):
            def __init__(self):
                pass

            def flake(self, msg):
                diags.append({"line": msg.lineno, "column": (msg.col or 0) + 1, "end_line": msg.lineno,
                              "end_column": (msg.col or 0) + 2, "severity": "warning",
                              "message": msg.message % msg.message_args, "source": "pyflakes"})

            def syntaxError(self, *a):
                pass

            def unexpectedError(self, *a):
                pass

        try:
            check(code or "", module_name or "<editor>", _Collect())
        except Exception as e:
            return {"diagnostics": diags, "error": str(e)}
        return {"diagnostics": diags, "error": None}
