// The allocation-failure test hook shared by every backend's
// memoryAllocate: inert (one counter step per allocation) unless a test
// arms it.
#include <atomic>

#include "platform/platform.h"

namespace qel::plat {
namespace {

std::atomic<uint32_t> allocations{0};
// Allocations left until the one that fails (0: none fails).
std::atomic<int32_t> failIn{0};
// Every allocation fails while set.
std::atomic<bool> refuseAll{false};

}  // namespace

void setMemoryRefused(bool refused) { refuseAll.store(refused); }

void failAllocationAfter(int32_t count) { failIn.store(count > 0 ? count : 0); }

uint32_t allocationCount() { return allocations.load(); }

bool allocationRefused() {
  allocations.fetch_add(1);
  int32_t left = failIn.load();
  while (left > 0 && !failIn.compare_exchange_weak(left, left - 1)) {
  }
  return left == 1 || refuseAll.load();
}

}  // namespace qel::plat
