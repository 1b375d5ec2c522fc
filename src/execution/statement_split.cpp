#include "execution/statement_split.hpp"

#include <string>
#include <vector>

#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"

namespace gridlet {

namespace {

// Byte offsets where each line of `text` starts, counting lines as the tokenizer does:
// "\n", "\r\n" and a lone "\r" each end one.
std::vector<Py_ssize_t> line_starts(const char* text, Py_ssize_t size) {
    std::vector<Py_ssize_t> starts{0};
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == size || text[i + 1] != '\n'))) starts.push_back(i + 1);
    }
    return starts;
}

struct Position {
    Py_ssize_t line = 0;     // 1-based
    Py_ssize_t offset = -1;  // byte offset in the UTF-8 text; -1 when unknown
};

// A node's start or end as a byte offset. The parser gives columns in UTF-8 bytes of the line.
// Unknown when the node lacks the position (an error then is logged and cleared).
Position position_of(const GilHeld& gil, PyObject* node, PyObject* line_attr, PyObject* col_attr,
                     const std::vector<Py_ssize_t>& starts, Py_ssize_t size) {
    Position p;
    const PyRef line = PyRef::steal(PyObject_GetAttr(node, line_attr));
    const PyRef col = line ? PyRef::steal(PyObject_GetAttr(node, col_attr)) : PyRef();
    if (line && col && PyLong_Check(line.get()) && PyLong_Check(col.get())) {
        Py_ssize_t l = PyLong_AsSsize_t(line.get());
        Py_ssize_t c = PyLong_AsSsize_t(col.get());
        if (l >= 1 && std::size_t(l) <= starts.size() && c >= 0 && starts[std::size_t(l - 1)] + c <= size) {
            p.line = l;
            p.offset = starts[std::size_t(l - 1)] + c;
        }
    }
    py_error::clear_logged(gil, "statement split: node position");
    return p;
}

// After a simple statement ending at `pos`, only blanks and line continuations can stand before
// the ";" that ends it. True when that ";" is there and a space follows it.
bool separator_follows(const char* text, Py_ssize_t size, Py_ssize_t pos) {
    while (pos < size) {
        char c = text[pos];
        if (c == ' ' || c == '\t' || c == '\f') {
            ++pos;
        } else if (c == '\\' && pos + 1 < size && (text[pos + 1] == '\n' || text[pos + 1] == '\r')) {
            pos += (text[pos + 1] == '\r' && pos + 2 < size && text[pos + 2] == '\n') ? 3 : 2;
        } else {
            break;
        }
    }
    return pos + 1 < size && text[pos] == ';' && text[pos + 1] == ' ';
}

PyObject* none() { return Py_NewRef(Py_None); }

}  // namespace

PyObject* split_at_statement_separator(const GilHeld& gil, PyObject* code) {
    // All of these live as long as the process.
    static PyObject* compile_fn = PyRef::borrow(PyDict_GetItemString(PyEval_GetBuiltins(), "compile")).release();
    static PyObject* body_attr = PyUnicode_InternFromString("body");
    static PyObject* lineno = PyUnicode_InternFromString("lineno");
    static PyObject* col_offset = PyUnicode_InternFromString("col_offset");
    static PyObject* end_lineno = PyUnicode_InternFromString("end_lineno");
    static PyObject* end_col_offset = PyUnicode_InternFromString("end_col_offset");

    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(code, &size);
    if (!text) {  // lone surrogates: the code cannot compile either
        py_error::clear_expecting(gil, PyExc_UnicodeEncodeError, "statement split: code text");
        return none();
    }
    const PyRef tree = PyRef::steal(PyObject_CallFunction(compile_fn, "Ossi", code, "<string>", "exec", PyCF_ONLY_AST));
    if (!tree) return py_error::clear_if(gil, PyExc_Exception) ? none() : nullptr;  // reported when run whole
    const PyRef body = PyRef::steal(PyObject_GetAttr(tree.get(), body_attr));
    if (!body || !PyList_Check(body.get())) {
        py_error::clear_logged(gil, "statement split: module body");
        return none();
    }
    const std::vector<Py_ssize_t> starts = line_starts(text, size);
    PyRef result;
    for (Py_ssize_t i = 0; i + 1 < PyList_GET_SIZE(body.get()) && !result; ++i) {
        // Items borrowed from the list, which body holds.
        const Position end = position_of(gil, PyList_GET_ITEM(body.get(), i), end_lineno, end_col_offset, starts, size);
        if (end.offset < 0 || !separator_follows(text, size, end.offset)) continue;
        const Position next = position_of(gil, PyList_GET_ITEM(body.get(), i + 1), lineno, col_offset, starts, size);
        if (next.offset <= end.offset) continue;
        const PyRef head = PyRef::steal(PyUnicode_DecodeUTF8(text, end.offset, "strict"));
        if (!head) return nullptr;
        std::string tail_text(std::size_t(next.line - 1), '\n');
        tail_text.append(text + next.offset, std::size_t(size - next.offset));
        const PyRef tail = PyRef::steal(PyUnicode_DecodeUTF8(tail_text.data(), Py_ssize_t(tail_text.size()), "strict"));
        if (!tail) return nullptr;
        result = PyRef::steal(PyTuple_Pack(2, head.get(), tail.get()));
        if (!result) return nullptr;
    }
    if (!result) return none();
    // The parts run one after the other only when Python accepts the code as a whole: checks made
    // after parsing (`return` outside a function, a late __future__ import) must see all of it.
    if (drop(PyObject_CallFunction(compile_fn, "Oss", tree.get(), "<string>", "exec"))) return result.release();
    return py_error::clear_if(gil, PyExc_Exception) ? none() : nullptr;
}

}  // namespace gridlet
