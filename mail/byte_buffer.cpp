#include "mail/byte_buffer.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/file.h"
#include "platform/memory_map.h"

#if defined(__SANITIZE_ADDRESS__)
#define DROPRELAY_PLAIN_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define DROPRELAY_PLAIN_HEAP 1
#endif
#endif

namespace droprelay {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// From this size on a buffer gets a mapping of its own, a whole number of huge pages long. Left to
// the C library, whether such a block reuses memory freed by the previous message or is faulted in
// afresh 4 KiB at a time depends on its history of thresholds: a factor of two either way. The
// sanitizer builds keep every buffer on the heap, where overruns are caught.
#ifdef DROPRELAY_PLAIN_HEAP
constexpr bool kMapLarge = false;
#else
constexpr bool kMapLarge = true;
#endif

std::size_t RoundToHugePages(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

void ByteBuffer::reserve(std::size_t bytes) {
  if (bytes <= capacity_) return;
  if (kMapLarge && bytes >= kHugePage) {
    const std::size_t length = RoundToHugePages(bytes);
    if (mapped_) {
      data_ = platform::RemapMemory(data_, capacity_, length);
    } else {
      char* p = platform::MapMemory(length);
      if (size_ > 0) std::memcpy(p, data_, size_);
      std::free(data_);
      data_ = p;
      mapped_ = true;
    }
    capacity_ = length;
    return;
  }
  void* p = std::realloc(data_, bytes);
  if (p == nullptr) throw std::bad_alloc();
  data_ = static_cast<char*>(p);
  capacity_ = bytes;
}

void ByteBuffer::append(std::string_view bytes) {
  if (bytes.empty()) return;
  // The bytes may be this buffer's own, which growing would move.
  const bool own = data_ != nullptr && bytes.data() >= data_ && bytes.data() < data_ + size_;
  const std::size_t offset = own ? static_cast<std::size_t>(bytes.data() - data_) : 0;
  char* at = AppendSpace(bytes.size());
  std::memmove(at, own ? data_ + offset : bytes.data(), bytes.size());
  size_ += bytes.size();
}

void ByteBuffer::Release() noexcept {
  if (data_ == nullptr) return;
  if (mapped_) {
    platform::UnmapMemory(data_, capacity_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  size_ = capacity_ = 0;
  mapped_ = false;
}

bool ReadToEnd(const platform::FileDescriptor& file, std::size_t expected, ByteBuffer& into) {
  into.reserve(into.size() + expected + 3);
  for (;;) {
    if (into.capacity() - into.size() <= 2) into.reserve(into.capacity() * 2 + 65536);
    const std::size_t room = into.capacity() - into.size() - 2;
    const long n = platform::ReadSome(file, into.AppendSpace(room), room);
    if (n < 0) return false;
    if (n == 0) return true;
    into.Commit(static_cast<std::size_t>(n));
  }
}

}  // namespace droprelay
