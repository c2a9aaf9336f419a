// Internal failures: an operation met an index that breaks an invariant it
// relies on (possible only for an index decoded from bytes) or a size that
// cannot be expressed. The Python boundary turns these into PanicException;
// nothing here ever brings the process down.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillomar {

class Panic : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws Panic "index out of bounds: the len is LEN but the index is INDEX".
[[noreturn]] void PanicIndexOutOfBounds(size_t len, size_t index);

// Throws Panic "capacity overflow".
[[noreturn]] void PanicCapacityOverflow();

// Bounds-checked read for code that runs on an index not proven sound. Hot
// loops on a validated index use plain operator[] instead.
template <class T>
inline const T& CheckedAt(const std::vector<T>& v, size_t i) {
  if (i >= v.size()) PanicIndexOutOfBounds(v.size(), i);
  return v[i];
}

}  // namespace quillomar
