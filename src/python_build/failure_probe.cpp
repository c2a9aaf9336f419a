#include "python_build/failure_probe.hpp"

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "core/panic.hpp"
#include "python_common/errors.hpp"

namespace quillomar::py {

PyObject* FailAs(PyObject*, PyObject* kind) {
  return Guarded([&]() -> PyObject* {
    const char* name = PyUnicode_Check(kind) ? PyUnicode_AsUTF8(kind) : nullptr;
    if (name == nullptr) {
      if (!PyErr_Occurred()) Raise(PyExc_TypeError, "kind must be a str");
      throw PyErrorAlreadySet{};
    }
    const std::string_view k = name;
    if (k == "panic") PanicIndexOutOfBounds(1, 5);
    if (k == "capacity") {
      std::vector<uint32_t> v;
      v.reserve(v.max_size() + 1);
    }
    if (k == "memory") throw std::bad_alloc();
    if (k == "other") throw std::runtime_error("an unexpected failure");
    if (k == "unknown") throw 0;
    Raise(PyExc_ValueError,
          "kind must be 'panic', 'capacity', 'memory', 'other' or 'unknown'");
  });
}

}  // namespace quillomar::py
