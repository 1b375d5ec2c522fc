// The executor's expression/statement split. Each input selects tokens that make up a code string
// (no loops, imports, repetition operators or long numbers, so every run ends quickly); the string is run by
// CodeExecutor in a fresh namespace and by a plain Python statement of the rules in another one:
//   an expression returns its value; otherwise, when a "; " ends a top-level statement that another
//   follows and Python accepts the code as a whole, the statements before it run first and the rest
//   is evaluated if it is an expression, else executed; otherwise the whole runs as statements; one
//   dict is both globals and locals; any exception, SystemExit and KeyboardInterrupt included,
//   makes the run fail with that exception's type.
// Success, the exception type, the result and the printed output must agree. The executor keeps
// a cache of compiled sources across inputs, so cached runs are held to the same rules.
#include <string>

#include "execution/code_executor.hpp"
#include "fuzz_support.hpp"
#include "kernel/gil.hpp"
#include "util/log.hpp"

using namespace gridlet;

namespace {

const char* const kTokens[] = {
    "; ",         ";",         " ",         "\n",         "    ",
    ":",          "=",         " + ",       " - ",        " / ",
    " % ",        " == ",      " < ",       "(",          ")",
    "[",          "]",         ",",         ".",          "'",
    "\"",         "'''",       "\\",        "x",          "y",
    "f",          "1",         "0",         "9",          "2.5",
    "'a'",        "'\\u00e9'", "'\\ud800'", "\xC3\xA9",   "\xF0\x9F\x98\x80",
    "\x00",       "print",     "len",       "str",        "repr",
    "int",        "type",      "None",      "True",       "if ",
    " else ",     "pass",      "def ",      "return ",    "lambda",
    "raise ",     "global ",   "del ",      "not ",       " and ",
    " or ",       " in ",      " is ",      "try:",       "except:",
    "finally:",   "assert ",   "class ",    "SystemExit", "KeyboardInterrupt",
    "ValueError", "append",    "upper",     "#",          "x = 5",
    "x = 5; x",   "; x",       "gridlet",   "excel",      "yield",
    "async ",     "await ",    "{",         "}",
};
constexpr std::size_t kTokenCount = sizeof(kTokens) / sizeof(kTokens[0]);

const char* const kHelpers = R"PY(
import __future__, ast, builtins, io, re, sys, warnings
warnings.simplefilter('ignore')
out = io.StringIO()
sys.stdout = sys.stderr = out

FUTURE_FLAGS = 0
for feature in __future__.all_feature_names:
    FUTURE_FLAGS |= getattr(__future__, feature).compiler_flag

def split_of(code):
    # Statement positions from the parser, turned from UTF-8 byte columns into characters.
    try:
        tree = ast.parse(code)
    except Exception:
        return None
    lines = re.split(r'(?<=\r\n)|(?<=\r)(?!\n)|(?<=\n)', code)
    starts = [0]
    for line in lines:
        starts.append(starts[-1] + len(line))

    def at(lineno, col):
        return starts[lineno - 1] + len(lines[lineno - 1].encode()[:col].decode())

    for a, b in zip(tree.body, tree.body[1:]):
        end, begin = at(a.end_lineno, a.end_col_offset), at(b.lineno, b.col_offset)
        if re.match(r'(?:[ \t\f]|\\(?:\r\n|\r|\n))*; ', code[end:begin]):
            try:
                compile(tree, '<string>', 'exec')
            except Exception:
                return None
            return code[:end], '\n' * (b.lineno - 1) + code[begin:]
    return None

def reference(code, gridlet_module):
    ns = {'__builtins__': builtins, 'gridlet': gridlet_module, 'excel': gridlet_module.excel,
          'context': gridlet_module.context, '__name__': '__main__'}
    try:
        # Statements run outside the handler of the first compile's SyntaxError: a bare
        # `raise` has nothing to re-raise, and errors carry no SyntaxError as their context.
        try:
            compiled = compile(code, '<kernel>', 'eval')
        except SyntaxError:
            compiled = None
        if compiled is not None:
            return True, eval(compiled, ns, ns), None
        split = split_of(code) if '; ' in code else None
        parts = None
        if split is not None:
            head, tail = split
            try:
                head_code = compile(head, '<string>', 'exec')
                future = head_code.co_flags & FUTURE_FLAGS
                try:
                    parts = head_code, compile(tail, '<kernel>', 'eval', future, True), True
                except SyntaxError:
                    parts = head_code, compile(tail, '<string>', 'exec', future, True), False
            except Exception:
                parts = None
        if parts is None:
            exec(code, ns, ns)
            return True, None, None
        exec(parts[0], ns, ns)
        value = eval(parts[1], ns, ns)
        return True, (value if parts[2] else None), None
    except BaseException as e:
        return False, None, type(e).__name__

def shown(v):
    if v is None or type(v) in (int, float, str, bool, list, tuple, dict, complex, bytes):
        try:
            return repr(v)
        except BaseException as e:
            return 'repr failed: ' + type(e).__name__
    return '<' + type(v).__name__ + '>'

def take_output():
    text = out.getvalue()
    out.seek(0)
    out.truncate()
    return text

def compare(code, ok, value, error_type, printed, gridlet_module):
    want_ok, want_value, want_error = reference(code, gridlet_module)
    want_printed = take_output()
    got = (ok, shown(value), error_type, printed)
    want = (want_ok, shown(want_value), want_error, want_printed)
    if got != want:
        return 'code %r: executor gives %r, the rules give %r' % (code, got, want)
    return None
)PY";

CodeExecutor* g_executor = nullptr;
PyObject* g_bridge = nullptr;
PyObject* g_compare = nullptr;
PyObject* g_take_output = nullptr;

}  // namespace

// The interpreter lives for the whole run and keeps its caches (interned strings, free lists,
// compiled code) on purpose; the leak checker would report them after every input.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    log::get().set_level(spdlog::level::off);
    fuzz::start_python();
    GilGuard gil;
    g_bridge = PyImport_ImportModule("gridlet");
    if (!g_bridge) PyErr_Print();
    fuzz::check(g_bridge != nullptr, "cannot import gridlet");
    fuzz::run_python(kHelpers);
    g_compare = fuzz::main_attr("compare");
    g_take_output = fuzz::main_attr("take_output");
    g_executor = new CodeExecutor(gil.held(), g_bridge);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 64) return 0;
    std::string code;
    for (std::size_t i = 0; i < size; ++i) {
        const char* t = kTokens[data[i] % kTokenCount];
        code.append(t, t[0] ? std::char_traits<char>::length(t) : 1);  // the NUL token is one byte
    }
    // Long digit runs make huge widths and sizes ('%99999999r' % x): not what this target is about.
    std::size_t digits = 0;
    for (char c : code) {
        digits = (c >= '0' && c <= '9') ? digits + 1 : 0;
        if (digits > 4) return 0;
    }
    GilGuard gil;
    PyObject* source = PyUnicode_DecodeUTF8(code.data(), Py_ssize_t(code.size()), "surrogatepass");
    fuzz::check(source != nullptr, "token text is not UTF-8");
    g_executor->reset_namespace(gil.held());
    PyObject* printed_before = PyObject_CallNoArgs(g_take_output);
    Py_XDECREF(printed_before);
    ExecOutcome outcome = g_executor->execute(gil.held(), source);
    fuzz::check(!PyErr_Occurred(), "execute left a Python error set");
    PyObject* printed = PyObject_CallNoArgs(g_take_output);
    fuzz::check(printed != nullptr, "reading the output failed");
    PyObject* error_type = outcome.error ? PyUnicode_FromString(outcome.error->type.c_str()) : Py_NewRef(Py_None);
    PyObject* r = PyObject_CallFunction(g_compare, "OOOOOO", source, outcome.success ? Py_True : Py_False,
                                        outcome.result ? outcome.result : Py_None, error_type, printed, g_bridge);
    if (!r) PyErr_Print();
    fuzz::check(r != nullptr, "oracle raised");
    if (r != Py_None) fuzz::check(false, PyUnicode_AsUTF8(r));
    Py_DECREF(r);
    Py_DECREF(error_type);
    Py_DECREF(printed);
    Py_DECREF(source);
    return 0;
}
