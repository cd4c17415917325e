// Memory of its own mapping for large buffers, asking the kernel for huge pages. The advice is
// only advice: where huge pages are not available the kernel ignores it.
#pragma once

#include <cstddef>

namespace droprelay::platform {

// A fresh private, anonymous, writable mapping of `length` bytes. Throws std::bad_alloc when the
// system refuses.
char* MapMemory(std::size_t length);

// Grows or shrinks a mapping from MapMemory to `newLength`, moving the page tables rather than
// the bytes (the address may change). Throws std::bad_alloc when the system refuses; the old
// mapping is then untouched.
char* RemapMemory(char* data, std::size_t oldLength, std::size_t newLength);

// Returns a mapping from MapMemory or RemapMemory.
void UnmapMemory(char* data, std::size_t length) noexcept;

}  // namespace droprelay::platform
