// Growable scratch storage for 32-bit values whose total is not known in
// advance (the flat id and count lists of a decoded index).
//
// Small buffers live on the malloc heap. Large ones are mapped pages that
// grow by remapping rather than copying and go back to the system when the
// buffer dies, so decoding a large index leaves no fragmented heap behind. The
// final contents are copied once into exact-size storage with ToVector().
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillomar::memory {

class ListBuffer {
 public:
  ListBuffer() = default;
  ListBuffer(const ListBuffer&) = delete;
  ListBuffer& operator=(const ListBuffer&) = delete;
  ~ListBuffer();

  size_t size() const { return size_; }

  // Appends k unspecified values and returns where they start, for the
  // caller to fill. Throws std::bad_alloc when memory runs out.
  uint32_t* Extend(size_t k) {
    if (k > capacity_ - size_) Grow(k);
    uint32_t* at = data_ + size_;
    size_ += k;
    return at;
  }

  std::vector<uint32_t> ToVector() const {
    return std::vector<uint32_t>(data_, data_ + size_);
  }

 private:
  void Grow(size_t k);

  uint32_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;  // in values
};

}  // namespace quillomar::memory
