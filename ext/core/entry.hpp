#pragma once
// entry<&fooImpl, policy>: the form in which the interpreter sees a module
// function or a type slot.  The implementation reads its arguments and does
// its work; it reports a failure by returning its failure value (nullptr, or
// -1) with a Python error set, or by throwing.  Whatever it throws is
// translated here, by `policy` (core/failures.hpp), and the failure value
// returned: nothing thrown inside the module reaches the interpreter.
//
//   {"isDoneFEval", entry<&isDoneFEvalImpl, Failures::Result>, METH_VARARGS, ...}
//   {"evaluateFunction", withKeywords(entry<&evaluateFunctionImpl>), METH_VARARGS | METH_KEYWORDS, ...}
#include <core/failures.hpp>

#include <type_traits>

namespace veldra {

namespace detail {

// What a slot returns for "failed, an error is set".
template <class R>
constexpr R failedValue() noexcept {
    if constexpr (std::is_pointer_v<R>) return nullptr;
    else return static_cast<R>(-1);
}

template <auto Impl, Failures Policy>
struct Entry;

template <class R, class... Args, R (*Impl)(Args...), Failures Policy>
struct Entry<Impl, Policy> {
    static R call(Args... args) noexcept {
        R result = failedValue<R>();
        translated(Policy, [&] { result = Impl(args...); });
        return result;
    }
};

}  // namespace detail

template <auto Impl, Failures Policy = Failures::Engine>
inline constexpr auto entry = &detail::Entry<Impl, Policy>::call;

// A function with keywords in the method table's type.
inline PyCFunction withKeywords(PyCFunctionWithKeywords f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace veldra
