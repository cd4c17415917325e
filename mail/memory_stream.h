// TMemoryStream: the byte container for whole bodies, with a read/write position.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

namespace droprelay {

class TMemoryStream {
 public:
  void Clear() {
    FData.clear();
    FPosition = 0;
  }
  std::size_t Size() const { return FData.size(); }
  std::size_t Position() const { return FPosition; }
  void SetPosition(std::size_t position) { FPosition = std::min(position, FData.size()); }

  // Reads up to `count` bytes from the position on; answers how many were read.
  std::size_t Read(char* buffer, std::size_t count) {
    const std::size_t n = std::min(count, FData.size() - FPosition);
    std::copy_n(FData.data() + FPosition, n, buffer);
    FPosition += n;
    return n;
  }
  // Writes at the position (overwriting, then growing) and moves the position past the bytes.
  void Write(std::string_view bytes) {
    if (FPosition == FData.size()) {
      FData.append(bytes);
    } else {
      const std::size_t overlap = std::min(bytes.size(), FData.size() - FPosition);
      FData.replace(FPosition, overlap, bytes);
    }
    FPosition += bytes.size();
  }

  // The whole content, independent of the position.
  std::string_view View() const { return FData; }
  const std::string& Bytes() const { return FData; }
  // Replaces the content; the position goes to the end, as after writing it.
  void Assign(std::string bytes) {
    FData = std::move(bytes);
    FPosition = FData.size();
  }
  void Reserve(std::size_t bytes) { FData.reserve(bytes); }

 private:
  std::string FData;
  std::size_t FPosition = 0;
};

}  // namespace droprelay
