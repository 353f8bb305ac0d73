// Room on the heap in huge-page-backed memory (see heap_reserve.h).
#include "heap_reserve.h"

#include <malloc.h>
#include <sys/mman.h>

#include <climits>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr std::size_t kHugePage = std::size_t(2) << 20;

// As in glibc: at most this many blocks served by mappings of their own.
constexpr int kDefaultMmapMax = 65536;

}  // namespace

void reserve_heap(std::size_t bytes) {
  if (bytes > INT_MAX - 2 * kHugePage) return;  // beyond what malloc's settings can express
  // Every block from the heap, and nothing trimmed off its top.
  if (::mallopt(M_MMAP_MAX, 0) == 0) return;
  ::mallopt(M_TRIM_THRESHOLD, INT_MAX);
  void* block = std::malloc(bytes + 2 * kHugePage);
  if (block == nullptr) {
    ::mallopt(M_MMAP_MAX, kDefaultMmapMax);
    return;
  }
  // The whole huge pages inside the block. Freed, the block joins the top
  // of the heap, where the next allocations are carved from.
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = (start + kHugePage - 1) / kHugePage * kHugePage;
  const std::uintptr_t last = (start + bytes + 2 * kHugePage) / kHugePage * kHugePage;
#ifdef MADV_HUGEPAGE
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
  std::free(block);
}
