#include "core/panic.hpp"

namespace quillomar {

void PanicIndexOutOfBounds(size_t len, size_t index) {
  throw Panic("index out of bounds: the len is " + std::to_string(len) +
              " but the index is " + std::to_string(index));
}

void PanicCapacityOverflow() { throw Panic("capacity overflow"); }

}  // namespace quillomar
