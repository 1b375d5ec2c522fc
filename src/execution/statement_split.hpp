#pragma once
// Where a code string is cut into "statements first, then the rest": at the first "; " that
// separates two top-level statements of the parsed code. A "; " inside a string, a comment,
// brackets or the body of a compound statement is never such a place, so a cut never changes
// what the code means.
#include "kernel/gil.hpp"

namespace gridlet {

// New reference: a tuple (head, tail) of str, or None when the code has no such separator or
// does not compile as a whole (running it whole then reports the error as Python would). `head`
// ends with the statement before the separator; `tail` starts with the statement after it,
// preceded by one newline per line above it, so that line numbers in tracebacks stay those of the
// whole code. nullptr with an error set only when the interpreter itself fails (an interrupt, no
// memory).
PyObject* split_at_statement_separator(const GilHeld&, PyObject* code);

}  // namespace gridlet
