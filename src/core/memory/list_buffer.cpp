#include "core/memory/list_buffer.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

// Sanitizer builds keep to malloc, so that reads and writes outside the
// buffer are caught.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLOMAR_LIST_BUFFER_MALLOC_ONLY 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || !defined(__linux__)
#define QUILLOMAR_LIST_BUFFER_MALLOC_ONLY 1
#endif

#if !defined(QUILLOMAR_LIST_BUFFER_MALLOC_ONLY)
#include <sys/mman.h>
#endif

namespace quillomar::memory {
namespace {

constexpr size_t kFirstCapacity = 1024;  // values

#if !defined(QUILLOMAR_LIST_BUFFER_MALLOC_ONLY)
// Below this many bytes the buffer lives on the malloc heap: mapping pages
// costs system calls that would dominate decoding a small index.
constexpr size_t kMapBytes = size_t{1} << 20;

// Growth moves a buffer to mapped pages when it reaches kMapBytes, and a
// buffer never shrinks, so its capacity tells where it lives.
bool IsMapped(size_t capacity) {
  return capacity * sizeof(uint32_t) >= kMapBytes;
}
#endif

}  // namespace

ListBuffer::~ListBuffer() {
#if !defined(QUILLOMAR_LIST_BUFFER_MALLOC_ONLY)
  if (IsMapped(capacity_)) {
    munmap(data_, capacity_ * sizeof(uint32_t));
    return;
  }
#endif
  std::free(data_);
}

void ListBuffer::Grow(size_t k) {
  const size_t wanted = std::max({capacity_ * 2, size_ + k, kFirstCapacity});
  if (wanted > SIZE_MAX / sizeof(uint32_t)) throw std::bad_alloc();
  const size_t bytes = wanted * sizeof(uint32_t);
  void* block;
#if !defined(QUILLOMAR_LIST_BUFFER_MALLOC_ONLY)
  if (IsMapped(capacity_)) {
    block = mremap(data_, capacity_ * sizeof(uint32_t), bytes, MREMAP_MAYMOVE);
    if (block == MAP_FAILED) throw std::bad_alloc();
  } else if (bytes >= kMapBytes) {
    block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    if (size_ != 0) std::memcpy(block, data_, size_ * sizeof(uint32_t));
    std::free(data_);
  } else
#endif
  {
    block = std::realloc(data_, bytes);
    if (block == nullptr) throw std::bad_alloc();
  }
  data_ = static_cast<uint32_t*>(block);
  capacity_ = wanted;
}

}  // namespace quillomar::memory
