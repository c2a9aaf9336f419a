#include "core/memory/huge_pages.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace quillomar::memory {

void AdviseHugePages(void* p, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (p == nullptr || bytes < kHugePageBytes) return;
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = reinterpret_cast<uintptr_t>(p);
  const uintptr_t first = (begin + page - 1) & ~(page - 1);
  const uintptr_t last = (begin + bytes) & ~(page - 1);
  if (last <= first) return;
  // Failure (an old kernel, huge pages switched off) leaves ordinary pages.
  (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

}  // namespace quillomar::memory
