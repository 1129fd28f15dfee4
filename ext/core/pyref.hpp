#pragma once
// PyRef: the owner of one strong Python reference.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <core/compat.hpp>

#include <utility>

namespace veldra {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (nullptr allowed).
    static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
    // Adds a reference of its own to a borrowed one.
    static PyRef borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return PyRef(o);
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : o_(other.o_) { other.o_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(o_);
            o_ = other.o_;
            other.o_ = nullptr;
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(o_); }

    PyObject* get() const noexcept { return o_; }
    explicit operator bool() const noexcept { return o_ != nullptr; }
    // Hands the reference over; use it only on the line that returns it to Python.
    PyObject* release() noexcept { return std::exchange(o_, nullptr); }

private:
    explicit PyRef(PyObject* o) noexcept : o_(o) {}
    PyObject* o_ = nullptr;
};

}  // namespace veldra
