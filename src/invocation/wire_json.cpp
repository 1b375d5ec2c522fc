#include "invocation/wire_json.hpp"

#include <charconv>
#include <cstring>
#include <memory>

#include "invocation/numeric_buffer.hpp"
#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "messaging/json_text.hpp"
#include "messaging/py_json.hpp"
#include "util/shortest_float.hpp"

namespace gridlet::wire_json {
namespace {

// Deeper nesting is left to the Python path, which gives its own result or RecursionError.
constexpr int kMaxDepth = 200;

// pandas' DataFrame and Series classes, once pandas is imported (never imported from here).
struct PandasTypes {
    PyObject* frame = nullptr;
    PyObject* series = nullptr;
};

const PandasTypes& pandas_types(const GilHeld& gil) {
    static PandasTypes types;
    if (types.frame) return types;
    PyObject* modules = PyImport_GetModuleDict();                // borrowed
    PyObject* pandas = PyDict_GetItemString(modules, "pandas");  // borrowed
    if (!pandas) return types;
    PyRef frame = PyRef::steal(PyObject_GetAttrString(pandas, "DataFrame"));
    PyRef series = frame ? PyRef::steal(PyObject_GetAttrString(pandas, "Series")) : PyRef();
    if (!frame || !series || !PyType_Check(frame.get()) || !PyType_Check(series.get())) {
        py_error::clear_logged(gil, "wire JSON: pandas DataFrame/Series");
        return types;
    }
    // Kept for the life of the process (a static is never destroyed while the GIL is held).
    types.series = series.release();
    types.frame = frame.release();
    return types;
}

bool is_frame(const GilHeld& gil, PyObject* v) {
    const auto& t = pandas_types(gil);
    return t.frame && reinterpret_cast<PyObject*>(Py_TYPE(v)) == t.frame;
}
bool is_series(const GilHeld& gil, PyObject* v) {
    const auto& t = pandas_types(gil);
    return t.series && reinterpret_cast<PyObject*>(Py_TYPE(v)) == t.series;
}

using numeric_buffer::is_ndarray;

void append_u64(std::string& out, std::uint64_t v) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

// One element of an open numeric view, as the JSON of its `.item()`.
void append_element(const numeric_buffer::View& view, const char* p, std::string& out) {
    switch (view.kind()) {
        case numeric_buffer::Kind::boolean:
            out += view.bool_at(p) ? "true" : "false";
            break;
        case numeric_buffer::Kind::signed_int:
            json_text::append_int(out, view.signed_at(p));
            break;
        case numeric_buffer::Kind::unsigned_int:
            append_u64(out, view.unsigned_at(p));
            break;
        case numeric_buffer::Kind::floating:
            json_text::append_double(out, view.double_at(p));
            break;
    }
}

// The nested lists of `.tolist()` for dimensions from `d` on.
void append_dims(const numeric_buffer::View& view, const char* p, int d, std::string& out) {
    if (d == view.ndim()) {
        append_element(view, p, out);
        return;
    }
    out.push_back('[');
    const Py_ssize_t n = view.shape(d);
    const Py_ssize_t stride = view.stride(d);
    if (d + 1 == view.ndim() && view.kind() == numeric_buffer::Kind::floating && view.itemsize() == 8) {
        // A row of float64, the common case: each number and its comma in one copy.
        char buf[shortest_float::kMaxChars + 1];
        for (Py_ssize_t i = 0; i < n; ++i, p += stride) {
            double v;
            std::memcpy(&v, p, sizeof v);  // strided views need not be aligned
            char* end = buf;
            if (i) *end++ = ',';
            out.append(buf, shortest_float::json(end, v));
        }
        out.push_back(']');
        return;
    }
    for (Py_ssize_t i = 0; i < n; ++i, p += stride) {
        if (i) out.push_back(',');
        append_dims(view, p, d + 1, out);
    }
    out.push_back(']');
}

class Walker {
public:
    Walker(const GilHeld& gil, PyObject* to_wire, std::string& out) : gil_(gil), to_wire_(to_wire), out_(out) {}

    bool value(PyObject* v, int depth) {
        PyTypeObject* t = Py_TYPE(v);
        if (v == Py_None) {
            out_ += "null";
        } else if (v == Py_True) {
            out_ += "true";
        } else if (v == Py_False) {
            out_ += "false";
        } else if (t == &PyFloat_Type) {
            json_text::append_double(out_, PyFloat_AS_DOUBLE(v));  // NaN (None on the wire) and inf: null
        } else if (t == &PyLong_Type || t == &PyUnicode_Type) {
            py_json::append(gil_, v, out_);
        } else if (t == &PyList_Type || t == &PyTuple_Type) {
            return sequence(v, depth);
        } else if (t == &PyDict_Type) {
            return dict(v, depth);
        } else if (is_ndarray(v)) {
            numeric_buffer::View view;
            if (!view.open(gil_, v)) return fallback(v);
            append_dims(view, view.data(), 0, out_);
        } else if (is_frame(gil_, v)) {
            return frame(v, depth);
        } else if (is_series(gil_, v)) {
            return series(v, depth);
        } else {
            return fallback(v);
        }
        return true;
    }

private:
    // to_wire(v) in Python, then its JSON: the stock conversion for anything not walked here.
    // A failure gives up the walk; the Python path then raises the same error for the user.
    bool fallback(PyObject* v) {
        const PyRef w = PyRef::steal(PyObject_CallOneArg(to_wire_, v));
        if (!w) {
            py_error::clear_logged(gil_, "wire JSON: to_wire of an element (the Python path takes over)");
            return false;
        }
        try {
            py_json::append(gil_, w.get(), out_);
        } catch (const py_json::EncodeError&) {
            return false;
        }
        return true;
    }

    // The container and the element being written are held: a fallback conversion runs Python
    // code, which could shrink a list or empty a dict under us.
    bool sequence(PyObject* seq, int depth) {
        if (depth >= kMaxDepth) return false;
        const PyRef held = PyRef::borrow(seq);
        out_.push_back('[');
        bool ok = true;
        // The size is read again each time, for the same reason.
        for (Py_ssize_t i = 0; ok && i < PySequence_Fast_GET_SIZE(seq); ++i) {
            if (i) out_.push_back(',');
            const PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(seq, i));
            ok = value(item.get(), depth + 1);
        }
        out_.push_back(']');
        return ok;
    }

    bool dict(PyObject* d, int depth) {
        if (depth >= kMaxDepth) return false;
        const PyRef held = PyRef::borrow(d);
        out_.push_back('{');
        Py_ssize_t pos = 0;
        PyObject *k, *v;  // borrowed from the dict
        bool ok = true;
        bool first = true;
        while (ok && PyDict_Next(d, &pos, &k, &v)) {
            if (!PyUnicode_Check(k)) {
                ok = false;  // the Python path raises its TypeError
                break;
            }
            if (!first) out_.push_back(',');
            first = false;
            const PyRef key = PyRef::borrow(k), item = PyRef::borrow(v);
            py_json::append_str(gil_, key.get(), out_);
            out_.push_back(':');
            ok = value(item.get(), depth + 1);
        }
        out_.push_back('}');
        return ok;
    }

    // [to_wire(c) for c in columns] + one list per row of itertuples(index=False, name=None), which
    // zips the columns df.iloc[:, k]; each column is read from its numpy values when it has them,
    // otherwise from iterating the column as itertuples does.
    bool frame(PyObject* df, int depth) {
        if (depth >= kMaxDepth) return false;
        const bool ok = frame_rows(df, depth);
        // A failure gives up the walk; the Python path then raises the same error for the user.
        py_error::clear_logged(gil_, "wire JSON: DataFrame (the Python path takes over)");
        return ok;
    }

    bool frame_rows(PyObject* df, int depth) {
        PyRef columns = PyRef::steal(PyObject_GetAttrString(df, "columns"));
        if (!columns) return false;
        const PyRef header = PyRef::steal(PySequence_List(columns.get()));
        if (!header) return false;
        const PyRef iloc = PyRef::steal(PyObject_GetAttrString(df, "iloc"));
        if (!iloc) return false;
        const Py_ssize_t ncols = PyList_GET_SIZE(header.get());
        std::unique_ptr<Column[]> cols(new Column[std::size_t(ncols)]);
        Py_ssize_t nrows = ncols ? -1 : 0;  // no columns: itertuples gives no rows
        for (Py_ssize_t k = 0; k < ncols; ++k) {
            // Py_BuildValue's "N" takes over the slice (and drops it when the slice is null).
            const PyRef key = PyRef::steal(Py_BuildValue("(Nn)", PySlice_New(nullptr, nullptr, nullptr), k));
            const PyRef col = key ? PyRef::steal(PyObject_GetItem(iloc.get(), key.get())) : PyRef();
            if (!col || !cols[std::size_t(k)].open(gil_, col.get(), /*iterate=*/true)) return false;
            const Py_ssize_t n = cols[std::size_t(k)].size();
            if (nrows < 0 || n < nrows) nrows = n;  // zip stops at the shortest
        }
        out_.push_back('[');
        bool ok = sequence(header.get(), depth + 1);
        for (Py_ssize_t r = 0; ok && r < nrows; ++r) {
            out_ += ",[";
            for (Py_ssize_t k = 0; ok && k < ncols; ++k) {
                if (k) out_.push_back(',');
                ok = cols[std::size_t(k)].append(*this, r, depth + 2);
            }
            out_.push_back(']');
        }
        out_.push_back(']');
        return ok;
    }

    // [to_wire(v) for v in series.tolist()]
    bool series(PyObject* s, int depth) {
        if (depth >= kMaxDepth) return false;
        Column col;
        if (!col.open(gil_, s, /*iterate=*/false)) {
            py_error::clear_logged(gil_, "wire JSON: Series (the Python path takes over)");
            return false;
        }
        out_.push_back('[');
        bool ok = true;
        for (Py_ssize_t i = 0; ok && i < col.size(); ++i) {
            if (i) out_.push_back(',');
            ok = col.append(*this, i, depth + 1);
        }
        out_.push_back(']');
        return ok;
    }

    // A pandas column: its numpy values read in place when they are a plain numeric ndarray (the
    // elements are then what .item() gives), else the list of its elements.
    class Column {
    public:
        Column() = default;
        Column(const Column&) = delete;
        Column& operator=(const Column&) = delete;
        bool open(const GilHeld& gil, PyObject* s, bool iterate) {
            {
                // An open view holds its own reference to the array.
                const PyRef values = PyRef::steal(PyObject_GetAttrString(s, "_values"));
                if (!values) return false;
                if (is_ndarray(values.get()) && view_.open(gil, values.get()) && view_.ndim() == 1) {
                    size_ = view_.shape(0);
                    return true;
                }
            }
            list_ = PyRef::steal(iterate ? PySequence_List(s) : PyObject_CallMethod(s, "tolist", nullptr));
            if (!list_ || !PyList_Check(list_.get())) return false;
            size_ = PyList_GET_SIZE(list_.get());
            return true;
        }
        Py_ssize_t size() const { return size_; }
        bool append(Walker& w, Py_ssize_t i, int depth) {
            if (!list_) {
                append_element(view_, view_.data() + i * view_.stride(0), w.out_);
                return true;
            }
            if (i >= PyList_GET_SIZE(list_.get())) return false;
            const PyRef item = PyRef::borrow(PyList_GET_ITEM(list_.get(), i));
            return w.value(item.get(), depth);
        }

    private:
        numeric_buffer::View view_;
        PyRef list_;
        Py_ssize_t size_ = 0;
    };

    const GilHeld& gil_;
    PyObject* to_wire_;
    std::string& out_;
};

// Bytes per number cell: a float's shortest form with its separator stays below this.
constexpr std::size_t kCellBytes = 26;

std::size_t estimate_depth(const GilHeld& gil, PyObject* v, int depth) {
    PyTypeObject* t = Py_TYPE(v);
    if (t == &PyFloat_Type || t == &PyLong_Type || v == Py_None || t == &PyBool_Type) return kCellBytes;
    if (t == &PyUnicode_Type && PyUnicode_IS_READY(v)) {
        const std::size_t n = std::size_t(PyUnicode_GET_LENGTH(v));
        return 4 + (PyUnicode_KIND(v) == PyUnicode_1BYTE_KIND ? n : 4 * n);
    }
    if (depth < kMaxDepth && (t == &PyList_Type || t == &PyTuple_Type)) {
        std::size_t total = 4;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(v); ++i)
            total += 2 + estimate_depth(gil, PySequence_Fast_GET_ITEM(v, i), depth + 1);
        return total;
    }
    if (depth < kMaxDepth && t == &PyDict_Type) {
        std::size_t total = 4;
        Py_ssize_t pos = 0;
        PyObject *k, *item;
        while (PyDict_Next(v, &pos, &k, &item))
            total += 4 + estimate_depth(gil, k, depth + 1) + estimate_depth(gil, item, depth + 1);
        return total;
    }
    if (is_ndarray(v) || is_frame(gil, v) || is_series(gil, v)) {
        const PyRef size = PyRef::steal(PyObject_GetAttrString(v, "size"));
        const Py_ssize_t n = size ? PyNumber_AsSsize_t(size.get(), nullptr) : 0;
        py_error::clear_logged(gil, "wire JSON: size estimate");  // only a reservation is lost
        return 4 + std::size_t(n > 0 ? n : 0) * kCellBytes;
    }
    return kCellBytes;
}

}  // namespace

bool has_own_repr(PyObject* value) {
    PyTypeObject* t = Py_TYPE(value);
    return t != &PyList_Type && t != &PyTuple_Type && t != &PyDict_Type;
}

std::size_t estimate(const GilHeld& gil, PyObject* value) { return estimate_depth(gil, value, 0); }

bool applies(const GilHeld& gil, PyObject* value) {
    PyTypeObject* t = Py_TYPE(value);
    if (t == &PyList_Type || t == &PyTuple_Type || t == &PyDict_Type) return true;
    if (is_ndarray(value)) {
        numeric_buffer::View view;
        return view.open(gil, value) && view.ndim() >= 1;
    }
    return is_frame(gil, value) || is_series(gil, value);
}

bool append(const GilHeld& gil, PyObject* value, PyObject* to_wire, std::string& out) {
    Walker walker(gil, to_wire, out);
    return walker.value(value, 0);
}

}  // namespace gridlet::wire_json
