// Reading a mapped file that shrinks under the reader.
//
// A page of a shared mapping that lies past the end of its file (another
// process truncated the file in place instead of replacing it by a rename)
// raises SIGBUS when read, which would end the process. While a BusGuard
// is alive, such a fault inside its byte range is answered instead: a page
// of zeros is mapped over the faulting page and the read is retried, so the
// reader sees zero bytes where the file ended, and the guard records that
// it happened. The searches treat a mapped index as untrusted bytes
// anyway, so zeros only make them answer wrongly (which the caller learns
// from faulted()), never read outside the mapping.
//
// Faults outside every guarded range go to whatever handler was installed
// before the first guard, or end the process as they would have.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quillomar::mapped {

class BusGuard {
 public:
  // Guards `range` (usually within a mapping) until destroyed. With more
  // than kMaxGuards alive at once the extra ones guard nothing.
  explicit BusGuard(std::span<const uint8_t> range);
  ~BusGuard();
  BusGuard(const BusGuard&) = delete;
  BusGuard& operator=(const BusGuard&) = delete;

  // Whether a read in the range has met a page past the end of the file.
  bool faulted() const;
  // Whether the range is guarded at all.
  bool active() const { return slot_ >= 0; }

  static constexpr int kMaxGuards = 256;

 private:
  int slot_ = -1;
};

}  // namespace quillomar::mapped
