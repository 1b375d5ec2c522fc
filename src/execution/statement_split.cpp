#include "execution/statement_split.hpp"

#include <string>
#include <vector>

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
    Py_ssize_t line = 0;    // 1-based
    Py_ssize_t offset = -1;  // byte offset in the UTF-8 text; -1 when unknown
};

// A node's start or end as a byte offset. The parser gives columns in UTF-8 bytes of the line.
Position position_of(PyObject* node, PyObject* line_attr, PyObject* col_attr, const std::vector<Py_ssize_t>& starts,
                     Py_ssize_t size) {
    Position p;
    PyObject* line = PyObject_GetAttr(node, line_attr);
    PyObject* col = line ? PyObject_GetAttr(node, col_attr) : nullptr;
    if (line && col && PyLong_Check(line) && PyLong_Check(col)) {
        Py_ssize_t l = PyLong_AsSsize_t(line);
        Py_ssize_t c = PyLong_AsSsize_t(col);
        if (l >= 1 && std::size_t(l) <= starts.size() && c >= 0 && starts[std::size_t(l - 1)] + c <= size) {
            p.line = l;
            p.offset = starts[std::size_t(l - 1)] + c;
        }
    }
    Py_XDECREF(line);
    Py_XDECREF(col);
    PyErr_Clear();
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

PyObject* split_at_statement_separator(const GilHeld&, PyObject* code) {
    static PyObject* compile_fn = PyDict_GetItemString(PyEval_GetBuiltins(), "compile");
    static PyObject* body_attr = PyUnicode_InternFromString("body");
    static PyObject* lineno = PyUnicode_InternFromString("lineno");
    static PyObject* col_offset = PyUnicode_InternFromString("col_offset");
    static PyObject* end_lineno = PyUnicode_InternFromString("end_lineno");
    static PyObject* end_col_offset = PyUnicode_InternFromString("end_col_offset");

    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(code, &size);
    if (!text) {  // lone surrogates: the code cannot compile either
        PyErr_Clear();
        return none();
    }
    PyObject* tree = PyObject_CallFunction(compile_fn, "Ossi", code, "<string>", "exec", PyCF_ONLY_AST);
    if (!tree) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        PyErr_Clear();
        return none();
    }
    PyObject* body = PyObject_GetAttr(tree, body_attr);
    if (!body || !PyList_Check(body)) {
        Py_DECREF(tree);
        Py_XDECREF(body);
        PyErr_Clear();
        return none();
    }
    const std::vector<Py_ssize_t> starts = line_starts(text, size);
    PyObject* result = nullptr;
    for (Py_ssize_t i = 0; i + 1 < PyList_GET_SIZE(body) && !result; ++i) {
        Position end = position_of(PyList_GET_ITEM(body, i), end_lineno, end_col_offset, starts, size);
        if (end.offset < 0 || !separator_follows(text, size, end.offset)) continue;
        Position next = position_of(PyList_GET_ITEM(body, i + 1), lineno, col_offset, starts, size);
        if (next.offset <= end.offset) continue;
        PyObject* head = PyUnicode_DecodeUTF8(text, end.offset, "strict");
        std::string tail_text(std::size_t(next.line - 1), '\n');
        tail_text.append(text + next.offset, std::size_t(size - next.offset));
        PyObject* tail = head ? PyUnicode_DecodeUTF8(tail_text.data(), Py_ssize_t(tail_text.size()), "strict") : nullptr;
        if (head && tail) result = PyTuple_Pack(2, head, tail);
        Py_XDECREF(head);
        Py_XDECREF(tail);
        if (!result) {
            Py_DECREF(body);
            Py_DECREF(tree);
            return nullptr;
        }
    }
    Py_DECREF(body);
    if (!result) {
        Py_DECREF(tree);
        return none();
    }
    // The parts run one after the other only when Python accepts the code as a whole: checks made
    // after parsing (`return` outside a function, a late __future__ import) must see all of it.
    PyObject* whole = PyObject_CallFunction(compile_fn, "Oss", tree, "<string>", "exec");
    Py_DECREF(tree);
    if (whole) {
        Py_DECREF(whole);
        return result;
    }
    Py_DECREF(result);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    PyErr_Clear();
    return none();
}

}  // namespace gridlet
