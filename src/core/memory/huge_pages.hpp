// Large decoded arrays are written once, front to back, right after they are
// allocated. Backed by ordinary 4 KiB pages, a good share of that time goes
// to one page fault per page; asking the kernel for 2 MiB pages turns 512 of
// those faults into one. The advice is only a hint: where the kernel keeps
// huge pages for explicit requests, or has none to give, nothing changes but
// the speed.
#pragma once

#include <cstddef>
#include <vector>

namespace quillomar::memory {

// Below this size a region gains nothing from the advice.
inline constexpr size_t kHugePageBytes = size_t{2} << 20;

// Advises the whole pages inside [p, p + bytes) to be backed by huge pages.
// Harmless on memory from any allocator: it changes no contents and no
// ownership. Does nothing for small regions or where unsupported.
void AdviseHugePages(void* p, size_t bytes);

// Gives `v` room for `n` elements, advised as above, without changing its
// size. Throws std::bad_alloc like reserve().
template <class T>
void ReserveAdvised(std::vector<T>& v, size_t n) {
  v.reserve(n);
  AdviseHugePages(v.data(), v.capacity() * sizeof(T));
}

}  // namespace quillomar::memory
