// PyRef's ownership rules and the py_error clearing helpers, against the embedded interpreter.
#include <gtest/gtest.h>

#include <utility>

#include "kernel/gil.hpp"
#include "kernel/py_error.hpp"
#include "kernel/py_ref.hpp"
#include "python_environment.hpp"

using namespace gridlet;

namespace {

struct PyRefTest : ::testing::Test {
    void SetUp() override {
        test_support::ensure_python();
        state = PyGILState_Ensure();
        obj = PyList_New(0);  // a fresh object: its count is ours to watch
        base = Py_REFCNT(obj);
    }
    void TearDown() override {
        PyErr_Clear();  // an AttributeError keeps its object (.obj) alive
        EXPECT_EQ(Py_REFCNT(obj), base) << "a reference was leaked or dropped twice";
        Py_DECREF(obj);
        PyGILState_Release(state);
    }
    const GilHeld& gil() { return GilHeld::from_python(); }
    PyGILState_STATE state;
    PyObject* obj = nullptr;
    Py_ssize_t base = 0;
};

TEST_F(PyRefTest, OwnsExactlyOneReferenceThroughBorrowStealMoveAndReset) {
    {
        PyRef a = PyRef::borrow(obj);
        EXPECT_EQ(Py_REFCNT(obj), base + 1);
        PyRef b = std::move(a);  // moves, does not copy the reference
        EXPECT_FALSE(a);
        EXPECT_EQ(b.get(), obj);
        EXPECT_EQ(Py_REFCNT(obj), base + 1);
        b = PyRef::borrow(obj);  // the old reference is dropped, the new one kept
        EXPECT_EQ(Py_REFCNT(obj), base + 1);
        PyRef c = PyRef::steal(b.new_ref());
        EXPECT_EQ(Py_REFCNT(obj), base + 2);
        c.reset();
        EXPECT_FALSE(c);
        EXPECT_EQ(Py_REFCNT(obj), base + 1);
        b = std::move(b);  // self-move keeps the reference
        EXPECT_EQ(b.get(), obj);
    }
    EXPECT_EQ(Py_REFCNT(obj), base);
    PyRef none = PyRef::borrow(nullptr);
    EXPECT_FALSE(none);
    EXPECT_FALSE(PyRef::steal(nullptr));
}

TEST_F(PyRefTest, ReleaseHandsTheReferenceToAStealingCall) {
    PyRef list = PyRef::steal(PyList_New(1));
    ASSERT_TRUE(list);
    PyRef item = PyRef::borrow(obj);
    PyList_SET_ITEM(list.get(), 0, item.release());  // steals
    EXPECT_FALSE(item);
    EXPECT_EQ(Py_REFCNT(obj), base + 1);
    list.reset();  // the list drops the item with itself
    EXPECT_EQ(Py_REFCNT(obj), base);
    EXPECT_TRUE(drop(PyObject_Repr(obj)));
    EXPECT_FALSE(drop(PyObject_GetAttrString(obj, "no_such_attribute")));
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_AttributeError));
}

TEST_F(PyRefTest, ClearIfClearsOnlyTheExpectedExceptionAndLoggedClearsAlwaysClear) {
    EXPECT_FALSE(py_error::clear_if(gil(), PyExc_AttributeError));  // nothing pending
    PyErr_SetString(PyExc_AttributeError, "not present");
    EXPECT_TRUE(py_error::clear_if(gil(), PyExc_AttributeError));
    EXPECT_FALSE(PyErr_Occurred());

    PyErr_SetString(PyExc_KeyError, "k");  // a subclass of LookupError: matched by its base
    EXPECT_TRUE(py_error::clear_if(gil(), PyExc_LookupError));

    PyErr_SetString(PyExc_ValueError, "bad");
    EXPECT_FALSE(py_error::clear_if(gil(), PyExc_AttributeError));
    ASSERT_TRUE(PyErr_Occurred());
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_ValueError));  // left for the caller

    EXPECT_TRUE(py_error::clear_expecting(gil(), PyExc_AttributeError, "unit test"));
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_FALSE(py_error::clear_expecting(gil(), PyExc_AttributeError, "unit test"));

    // An exception whose str() itself raises is still cleared, at both levels.
    PyObject* g = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyRef ran =
        PyRef::steal(PyRun_String("class _BadStr(Exception):\n"
                                  "    def __str__(self): raise RuntimeError('no text')\n",
                                  Py_file_input, g, g));
    ASSERT_TRUE(ran);
    PyObject* bad = PyDict_GetItemString(g, "_BadStr");  // borrowed
    for (auto level : {py_error::Level::debug, py_error::Level::warning}) {
        PyErr_SetNone(bad);
        py_error::clear_logged(gil(), "unit test", level);
        EXPECT_FALSE(PyErr_Occurred());
    }
}

}  // namespace
