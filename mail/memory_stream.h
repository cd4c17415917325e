// TMemoryStream: the byte container for whole bodies, with a read/write position.
//
// A stream either owns its bytes or is a read-only window on a text shared with other streams
// (the message text a file was loaded into: each stored body is a window on it instead of a copy
// of it). A window becomes bytes of the stream's own on the first write, so sharing is never
// visible to a caller.
//
// A stream may also hold a text that is not written out yet: a list of pieces of shared texts
// (a composed message: its delimiters and headers, and its leaves' stored bodies). Its size is
// known at once; its bytes are put together on the first access that needs them. A relay that
// never reads the composed text never pays for a copy of everything it holds.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mail/byte_buffer.h"

namespace droprelay {

// An immutable text that windows of several streams may share; it lives while one of them does.
using SharedText = std::shared_ptr<const ByteBuffer>;

// A text to be put together later from windows on shared texts, which it keeps alive. `written`,
// when set, is told the text once it exists (the composer lets its leaves share it).
struct TDeferredText {
  std::vector<std::pair<SharedText, std::string_view>> pieces;
  std::size_t size = 0;
  std::function<void(const SharedText&)> written;
};

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
  // A deferred text is written out before it moves: its `written` belongs where it was made. (So
  // a move may allocate, and is not noexcept.)
  TMemoryStream(TMemoryStream&& other) { *this = std::move(other); }
  TMemoryStream& operator=(TMemoryStream&& other) {
    if (this != &other) {
      other.Materialise();
      FData = std::move(other.FData);
      FShared = std::move(other.FShared);
      FWindow = other.FWindow;
      FPosition = other.FPosition;
      FDeferred.reset();
    }
    return *this;
  }

  void Clear() {
    FData = ByteBuffer();
    FShared.reset();
    FWindow = {};
    FDeferred.reset();
    FPosition = 0;
  }
  std::size_t Size() const { return FDeferred ? FDeferred->size : View().size(); }
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
    Materialise();
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
  std::string_view View() const {
    Materialise();
    return FShared ? FWindow : FData.View();
  }
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
    FDeferred.reset();
    FPosition = FData.size();
  }
  // The content becomes `window`, which lies in `text`; nothing is copied.
  void Share(SharedText text, std::string_view window) {
    FData = ByteBuffer();
    FShared = std::move(text);
    FWindow = window;
    FDeferred.reset();
    FPosition = FWindow.size();
  }
  // The content becomes `text`, put together when it is first needed; the position goes to its end.
  void Defer(std::shared_ptr<const TDeferredText> text) {
    FData = ByteBuffer();
    FShared.reset();
    FWindow = {};
    FPosition = text->size;
    FDeferred = std::move(text);
  }
  bool IsDeferred() const { return FDeferred != nullptr; }
  // The same content as `other`: shared when `other` is a window, else copied.
  void AssignFrom(const TMemoryStream& other) {
    other.Materialise();
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
    other.MakeShared();
    Share(other.FShared, other.FWindow);
  }
  // The stream's bytes as a shared text (owned bytes become one, the position kept), so that a
  // composed text can hold them without a copy; later writes to this stream copy them first.
  const SharedText& MakeShared() {
    Materialise();
    if (!FShared) {
      const std::size_t position = FPosition;
      auto text = std::make_shared<const ByteBuffer>(std::move(FData));
      FData = ByteBuffer();
      Share(text, text->View());
      FPosition = position;
    }
    return FShared;
  }
  // The shared text this stream is a window on, or null when it owns its bytes.
  const SharedText& SharedWith() const {
    Materialise();
    return FShared;
  }
  void Reserve(std::size_t bytes) {
    Own();
    FData.reserve(bytes);
  }

 private:
  // Puts a deferred text together: one buffer of its size, then shared like a loaded text.
  void Materialise() const {
    if (!FDeferred) return;
    const std::shared_ptr<const TDeferredText> deferred = std::move(FDeferred);
    FDeferred.reset();
    ByteBuffer bytes;
    bytes.reserve(deferred->size);
    for (const auto& piece : deferred->pieces) bytes.append(piece.second);
    auto text = std::make_shared<const ByteBuffer>(std::move(bytes));
    FShared = text;
    FWindow = text->View();
    if (deferred->written) deferred->written(text);
  }
  void Own() {
    Materialise();
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

  // Mutable: a deferred text is put together by the first reader, which may hold the stream const.
  mutable ByteBuffer FData;
  mutable SharedText FShared;
  mutable std::string_view FWindow;
  mutable std::shared_ptr<const TDeferredText> FDeferred;
  std::size_t FPosition = 0;
};

}  // namespace droprelay
