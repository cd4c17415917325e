// TMemoryStream: the byte container for whole bodies, with a read/write position.
//
// A stream either owns its bytes or is a read-only window on a text shared with other streams
// (the message text a file was loaded into: each stored body is a window on it instead of a copy
// of it). A window becomes bytes of the stream's own on the first write, so sharing is never
// visible to a caller.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "mail/byte_buffer.h"

namespace droprelay {

// An immutable text that windows of several streams may share; it lives while one of them does.
using SharedText = std::shared_ptr<const ByteBuffer>;

class TMemoryStream {
 public:
  TMemoryStream() = default;
  TMemoryStream(const TMemoryStream& other) { *this = other; }
  TMemoryStream& operator=(const TMemoryStream& other) {
    if (this != &other) {
      AssignFrom(other);
      FPosition = other.FPosition;
    }
    return *this;
  }
  TMemoryStream(TMemoryStream&&) noexcept = default;
  TMemoryStream& operator=(TMemoryStream&&) noexcept = default;

  void Clear() {
    FData = ByteBuffer();
    FShared.reset();
    FWindow = {};
    FPosition = 0;
  }
  std::size_t Size() const { return View().size(); }
  std::size_t Position() const { return FPosition; }
  void SetPosition(std::size_t position) { FPosition = std::min(position, Size()); }

  // Reads up to `count` bytes from the position on; answers how many were read.
  std::size_t Read(char* buffer, std::size_t count) {
    const std::string_view bytes = View();
    const std::size_t n = std::min(count, bytes.size() - FPosition);
    std::copy_n(bytes.data() + FPosition, n, buffer);
    FPosition += n;
    return n;
  }
  // Writes at the position (overwriting, then growing) and moves the position past the bytes.
  void Write(std::string_view bytes) {
    if (FShared) {
      // The bytes may lie in the shared text: they stay valid while the copy is made.
      const SharedText keep = FShared;
      Own();
      WriteOwned(bytes);
      return;
    }
    WriteOwned(bytes);
  }

  // The whole content, independent of the position.
  std::string_view View() const { return FShared ? FWindow : FData.View(); }
  // A copy of the whole content.
  std::string Bytes() const { return std::string(View()); }
  // Replaces the content; the position goes to the end, as after writing it.
  void Assign(std::string_view bytes) {
    ByteBuffer copy;
    copy.reserve(bytes.size());
    copy.append(bytes);
    Assign(std::move(copy));
  }
  void Assign(ByteBuffer bytes) {
    FData = std::move(bytes);
    FShared.reset();
    FWindow = {};
    FPosition = FData.size();
  }
  // The content becomes `window`, which lies in `text`; nothing is copied.
  void Share(SharedText text, std::string_view window) {
    FData = ByteBuffer();
    FShared = std::move(text);
    FWindow = window;
    FPosition = FWindow.size();
  }
  // The same content as `other`: shared when `other` is a window, else copied.
  void AssignFrom(const TMemoryStream& other) {
    if (other.FShared) {
      Share(other.FShared, other.FWindow);
    } else {
      Assign(other.View());
    }
  }
  // The same content as `other` without a copy: an owned content of `other` becomes shared text
  // first (its position kept), so both are windows on it until one of them is written to.
  void AssignSharing(TMemoryStream& other) {
    if (&other == this) return;
    if (!other.FShared) {
      const std::size_t position = other.FPosition;
      auto text = std::make_shared<const ByteBuffer>(std::move(other.FData));
      other.FData = ByteBuffer();
      other.Share(text, text->View());
      other.FPosition = position;
    }
    Share(other.FShared, other.FWindow);
  }
  // The shared text this stream is a window on, or null when it owns its bytes.
  const SharedText& SharedWith() const { return FShared; }
  void Reserve(std::size_t bytes) {
    Own();
    FData.reserve(bytes);
  }

 private:
  void Own() {
    if (!FShared) return;
    ByteBuffer copy;
    copy.reserve(FWindow.size());
    copy.append(FWindow);
    FData = std::move(copy);
    FShared.reset();
    FWindow = {};
  }
  void WriteOwned(std::string_view bytes) {
    if (FPosition == FData.size()) {
      FData.append(bytes);
    } else {
      const std::size_t overlap = std::min(bytes.size(), FData.size() - FPosition);
      std::copy_n(bytes.data(), overlap, FData.data() + FPosition);
      FData.append(bytes.substr(overlap));
    }
    FPosition += bytes.size();
  }

  ByteBuffer FData;
  SharedText FShared;
  std::string_view FWindow;
  std::size_t FPosition = 0;
};

}  // namespace droprelay
