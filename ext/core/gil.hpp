#pragma once
// GilRelease: releases the interpreter lock for the life of the object.
//
// The lock comes back when the object goes out of scope, which also happens
// while an exception unwinds out of the guarded block: a handler that catches
// it below the block already holds the lock, exactly once.  withoutGil runs
// one call that way.
#include <core/pyref.hpp>

namespace veldra {

class GilRelease {
public:
    GilRelease() noexcept : saved_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() { restore(); }
    // Takes the lock back early; later calls do nothing.
    void restore() noexcept {
        if (saved_) PyEval_RestoreThread(std::exchange(saved_, nullptr));
    }

private:
    PyThreadState* saved_;
};

// Runs `call` (an engine-client operation) without the interpreter lock and
// returns what it returns.  What it throws goes on to the caller's entry<>
// with the lock back.  `call` must not touch Python objects.
template <class Call>
decltype(auto) withoutGil(Call&& call) {
    GilRelease nogil;
    return call();
}

}  // namespace veldra
