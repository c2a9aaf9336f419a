#include "core/codec/list_buffer.hpp"

#include <algorithm>
#include <cstdlib>
#include <new>

// Sanitizer builds take the malloc path, so that reads and writes outside
// the buffer are caught.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLOMAR_LIST_BUFFER_MALLOC 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || !defined(__linux__)
#define QUILLOMAR_LIST_BUFFER_MALLOC 1
#endif

#if !defined(QUILLOMAR_LIST_BUFFER_MALLOC)
#include <sys/mman.h>
#endif

namespace quillomar::codec {
namespace {

constexpr size_t kFirstCapacity = size_t{1} << 14;  // values: 64 KiB

}  // namespace

#if !defined(QUILLOMAR_LIST_BUFFER_MALLOC)

ListBuffer::~ListBuffer() {
  if (data_ != nullptr) munmap(data_, capacity_ * sizeof(uint32_t));
}

void ListBuffer::Grow(size_t k) {
  const size_t wanted = std::max({capacity_ * 2, size_ + k, kFirstCapacity});
  if (wanted > SIZE_MAX / sizeof(uint32_t)) throw std::bad_alloc();
  const size_t bytes = wanted * sizeof(uint32_t);
  void* block = data_ == nullptr ? mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                 : mremap(data_, capacity_ * sizeof(uint32_t),
                                          bytes, MREMAP_MAYMOVE);
  if (block == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<uint32_t*>(block);
  capacity_ = wanted;
}

#else

ListBuffer::~ListBuffer() { std::free(data_); }

void ListBuffer::Grow(size_t k) {
  const size_t wanted = std::max({capacity_ * 2, size_ + k, kFirstCapacity});
  if (wanted > SIZE_MAX / sizeof(uint32_t)) throw std::bad_alloc();
  void* block = std::realloc(data_, wanted * sizeof(uint32_t));
  if (block == nullptr) throw std::bad_alloc();
  data_ = static_cast<uint32_t*>(block);
  capacity_ = wanted;
}

#endif

}  // namespace quillomar::codec
