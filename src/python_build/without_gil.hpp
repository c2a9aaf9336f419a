// Running plain C++ work with the interpreter lock released. The work must
// touch no Python object; whatever it throws is rethrown once the lock is
// held again.
#pragma once

#include <Python.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace quillomar::py {

template <class F>
auto WithoutGil(F&& work) -> decltype(work()) {
  std::exception_ptr failure;
  using R = decltype(work());
  if constexpr (std::is_void_v<R>) {
    Py_BEGIN_ALLOW_THREADS;
    try {
      work();
    } catch (...) {
      failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS;
    if (failure) std::rethrow_exception(failure);
  } else {
    std::optional<R> out;
    Py_BEGIN_ALLOW_THREADS;
    try {
      out.emplace(work());
    } catch (...) {
      failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS;
    if (failure) std::rethrow_exception(failure);
    return std::move(*out);
  }
}

}  // namespace quillomar::py
