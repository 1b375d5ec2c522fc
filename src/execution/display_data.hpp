#pragma once
// display_data: a rich value shown in the editor's output, as a MIME bundle. Sent on behalf of
// gridlet.display and the kernel's matplotlib backend, attributed like stream output: with the
// run's request_id, workbook_id and source inside a run, with the workbook_id alone outside one.
#include <Python.h>

#include "kernel/gil.hpp"

namespace gridlet {

class Replies;

namespace display_data {

// `data` must be a dict holding a str "text/plain"; `metadata` a dict or None. Raises a Python
// TypeError (returns false) when they are not, or when they cannot be encoded as JSON.
bool send(const GilHeld&, Replies& replies, PyObject* data, PyObject* metadata);

// Shows the figures an execution_request left open, when the kernel's matplotlib backend is in
// use. Costs one dictionary lookup when matplotlib was never loaded.
void show_open_figures(const GilHeld&);

}  // namespace display_data
}  // namespace gridlet
