// ByteBuffer: a growable byte array for whole message texts and bodies.
//
// Unlike std::string it grows without zero-filling (every byte is written by the caller before it
// is read), and a large buffer (2 MiB or more) is its own mapping that asks the kernel for huge pages: a body of
// tens of megabytes is written once from start to end, and faulting it in 4 KiB at a time costs
// more than the decoding or copying that fills it.
#pragma once

#include <cstddef>
#include <string_view>

namespace droprelay {

namespace platform {
class FileDescriptor;
}

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ~ByteBuffer() { Release(); }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& other) noexcept { Take(other); }
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
      Release();
      Take(other);
    }
    return *this;
  }

  const char* data() const { return data_; }
  char* data() { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  std::string_view View() const { return {data_, size_}; }

  void clear() { size_ = 0; }
  // Makes room for `bytes` in all; the content is kept.
  void reserve(std::size_t bytes);
  void append(std::string_view bytes);
  void append(const char* bytes, std::size_t count) { append(std::string_view(bytes, count)); }
  void push_back(char c) {
    if (size_ == capacity_) reserve(Grown(size_ + 1));
    data_[size_++] = c;
  }
  // Room for `count` more bytes at the end, uninitialised; Commit says how many were written.
  char* AppendSpace(std::size_t count) {
    if (capacity_ - size_ < count) reserve(Grown(size_ + count));
    return data_ + size_;
  }
  void Commit(std::size_t count) { size_ += count; }
  // Shortens the content (never grows it).
  void Truncate(std::size_t size) {
    if (size < size_) size_ = size;
  }

 private:
  std::size_t Grown(std::size_t needed) const { return needed > capacity_ * 2 ? needed : capacity_ * 2; }
  void Release() noexcept;
  void Take(ByteBuffer& other) noexcept {
    data_ = other.data_;
    size_ = other.size_;
    capacity_ = other.capacity_;
    mapped_ = other.mapped_;
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
    other.mapped_ = false;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool mapped_ = false;  // a mapping of its own (munmap), else from operator new
};

// Reads `file` from where it stands to its end into `into`, filled by the kernel directly: one
// buffer of `expected` bytes (the size fstat gave) and room for the two more a text's last line
// break may need, grown should the file be longer. False when a read fails (the system's error
// is the last error).
bool ReadToEnd(const platform::FileDescriptor& file, std::size_t expected, ByteBuffer& into);

}  // namespace droprelay
