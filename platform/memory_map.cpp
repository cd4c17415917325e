#include "platform/memory_map.h"

#include <sys/mman.h>

#include <new>

namespace droprelay::platform {

char* MapMemory(std::size_t length) {
  void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  ::madvise(p, length, MADV_HUGEPAGE);
  return static_cast<char*>(p);
}

char* RemapMemory(char* data, std::size_t oldLength, std::size_t newLength) {
  void* p = ::mremap(data, oldLength, newLength, MREMAP_MAYMOVE);
  if (p == MAP_FAILED) throw std::bad_alloc();
  ::madvise(p, newLength, MADV_HUGEPAGE);
  return static_cast<char*>(p);
}

void UnmapMemory(char* data, std::size_t length) noexcept { ::munmap(data, length); }

}  // namespace droprelay::platform
