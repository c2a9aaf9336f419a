#include "core/mapped/bus_guard.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace quillomar::mapped {
namespace {

// Read by the handler without a lock: a slot is claimed by setting `begin`
// last and released by clearing it first.
struct Slot {
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<bool> faulted{false};
};
Slot g_slots[BusGuard::kMaxGuards];
struct sigaction g_previous;
std::once_flag g_installed;

void PassOn(int sig, siginfo_t* info, void* context) {
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction != nullptr) {
      g_previous.sa_sigaction(sig, info, context);
      return;
    }
  } else if (g_previous.sa_handler != SIG_DFL &&
             g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(sig);
    return;
  }
  // The default action: the faulting read runs again and ends the process.
  signal(sig, SIG_DFL);
}

void OnBus(int sig, siginfo_t* info, void* context) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr);
  for (Slot& s : g_slots) {
    const uintptr_t begin = s.begin.load(std::memory_order_acquire);
    if (begin == 0 || at < begin || at >= s.end.load()) continue;
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    void* const base = reinterpret_cast<void*>(at & ~(page - 1));
    if (mmap(base, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
             0) == MAP_FAILED) {
      break;
    }
    s.faulted.store(true);
    return;  // the read is retried on the page of zeros
  }
  PassOn(sig, info, context);
}

void Install() {
  struct sigaction action = {};
  action.sa_sigaction = OnBus;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, &g_previous);
}

}  // namespace

BusGuard::BusGuard(std::span<const uint8_t> range) {
  if (range.empty()) return;
  std::call_once(g_installed, Install);
  for (int i = 0; i < kMaxGuards; ++i) {
    uintptr_t expected = 0;
    Slot& s = g_slots[i];
    // Claim with a placeholder first, so the handler never sees a
    // half-written slot.
    if (!s.begin.compare_exchange_strong(expected, UINTPTR_MAX)) continue;
    s.faulted.store(false);
    s.end.store(reinterpret_cast<uintptr_t>(range.data() + range.size()));
    s.begin.store(reinterpret_cast<uintptr_t>(range.data()),
                  std::memory_order_release);
    slot_ = i;
    return;
  }
}

BusGuard::~BusGuard() {
  if (slot_ >= 0) g_slots[slot_].begin.store(0, std::memory_order_release);
}

bool BusGuard::faulted() const {
  return slot_ >= 0 && g_slots[slot_].faulted.load();
}

}  // namespace quillomar::mapped
