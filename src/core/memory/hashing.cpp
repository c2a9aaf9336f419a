#include "core/memory/hashing.hpp"

#include <atomic>
#include <chrono>

namespace quillomar::memory {

uint64_t NewSeed() {
  static std::atomic<uint64_t> counter{0};
  const uint64_t now = static_cast<uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  return Mix64(now ^ Mix64(counter.fetch_add(1) + 0x5851F42D4C957F2Dull));
}

}  // namespace quillomar::memory
