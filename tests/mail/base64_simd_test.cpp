// The vector base64 decoders against the one-group-at-a-time loop: the same bytes and the same
// damage counts on every input shape, and the bulk run's limits on reading and writing.
#include "mail/base64_simd.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "mail/codecs.h"

namespace droprelay {
namespace {

std::vector<Base64Simd> VectorLevels() {
  std::vector<Base64Simd> levels;
  for (Base64Simd level : {Base64Simd::kAvx2, Base64Simd::kAvx512Vbmi}) {
    if (level <= Base64SimdSupported()) levels.push_back(level);
  }
  return levels;
}

class Base64SimdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (VectorLevels().empty()) GTEST_SKIP() << "no vector decoder on this processor";
  }
  void TearDown() override { SetBase64Simd(Base64SimdSupported()); }
};

std::string RandomBytes(std::mt19937& rng, std::size_t size) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(byte(rng));
  return s;
}

// Padded base64 with a break after every `lineLength` characters (0: one line, no break).
std::string Encode(std::string_view bytes, std::size_t lineLength, std::string_view lineBreak) {
  std::string chars;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    if (i + 2 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 2]);
    chars += Base64Table[n >> 18];
    chars += Base64Table[(n >> 12) & 63];
    chars += i + 1 < bytes.size() ? Base64Table[(n >> 6) & 63] : '=';
    chars += i + 2 < bytes.size() ? Base64Table[n & 63] : '=';
  }
  if (lineLength == 0) return chars;
  std::string text;
  for (std::size_t i = 0; i < chars.size(); i += lineLength) {
    text.append(chars, i, lineLength);
    text += lineBreak;
  }
  return text;
}

struct Decoded {
  std::string bytes;
  Base64Damage damage;
};

Decoded DecodeWith(Base64Simd level, const std::string& text) {
  SetBase64Simd(level);
  // An exact-size copy, so that the sanitizer build sees a read past the end.
  const std::vector<char> exact(text.begin(), text.end());
  ByteBuffer buffer;
  Decoded d;
  Base64DecodeStream(std::string_view(exact.data(), exact.size()), buffer, &d.damage);
  d.bytes = std::string(buffer.View());
  return d;
}

::testing::AssertionResult SameAsScalar(const std::string& text) {
  const Decoded scalar = DecodeWith(Base64Simd::kScalar, text);
  for (Base64Simd level : VectorLevels()) {
    const Decoded vector = DecodeWith(level, text);
    if (vector.bytes != scalar.bytes || vector.damage.strayCharacters != scalar.damage.strayCharacters ||
        vector.damage.leftoverCharacters != scalar.damage.leftoverCharacters) {
      return ::testing::AssertionFailure()
             << "level " << static_cast<int>(level) << " differs on " << text.size() << " characters: "
             << vector.bytes.size() << " bytes, " << vector.damage.strayCharacters << " stray, "
             << vector.damage.leftoverCharacters << " left over; scalar " << scalar.bytes.size() << ", "
             << scalar.damage.strayCharacters << ", " << scalar.damage.leftoverCharacters;
    }
  }
  return ::testing::AssertionSuccess();
}

struct Layout {
  std::size_t lineLength;
  const char* lineBreak;
};
const Layout kLayouts[] = {{76, "\r\n"}, {76, "\n"}, {76, "\r"}, {64, "\r\n"}, {64, "\n"}, {72, "\r\n"},
                           {4, "\r\n"},  {8, "\n"},  {28, "\r\n"}, {32, "\r\n"}, {36, "\r\n"}, {100, "\r\n"},
                           {0, ""},      {75, "\r\n"}, {77, "\n"}, {1, "\r\n"}, {3, "\r\n"}, {10, "\r"},
                           {76, "\r\n\r\n"}, {76, " \r\n"}, {76, "\t\n"}, {16, "\n"}, {20, "\r\n"},
                           {132, "\r\n"}, {256, "\n"}, {260, "\r\n"}};

TEST_F(Base64SimdTest, EveryLengthOfEveryLayoutMatchesTheScalarLoop) {
  std::mt19937 rng(7);
  const std::string payload = RandomBytes(rng, 240);
  for (const Layout& layout : kLayouts) {
    const std::string full = Encode(payload, layout.lineLength, layout.lineBreak);
    for (std::size_t length = 0; length <= 300 && length <= full.size(); ++length) {
      ASSERT_TRUE(SameAsScalar(full.substr(0, length)))
          << "lines of " << layout.lineLength << ", length " << length;
    }
    // Whole encodings decode to what was encoded, on every level.
    for (std::size_t size : {0u, 1u, 2u, 3u, 23u, 24u, 47u, 48u, 49u, 57u, 100u, 239u}) {
      const std::string text = Encode(std::string_view(payload).substr(0, size), layout.lineLength, layout.lineBreak);
      for (Base64Simd level : VectorLevels()) {
        EXPECT_EQ(DecodeWith(level, text).bytes, payload.substr(0, size)) << "lines of " << layout.lineLength;
      }
    }
  }
}

TEST_F(Base64SimdTest, StrayCharactersAndPadsAtEveryPositionMatchTheScalarLoop) {
  std::mt19937 rng(11);
  const std::string base = Encode(RandomBytes(rng, 150), 76, "\r\n");
  const std::string strays[] = {std::string(1, '\0'), "\x80", "\xFF", "!", " ", "\t", "=", "==", "\r", "\n", "-", "\r\n"};
  for (std::size_t pos = 0; pos <= base.size(); ++pos) {
    for (const std::string& stray : strays) {
      std::string inserted = base;
      inserted.insert(pos, stray);
      ASSERT_TRUE(SameAsScalar(inserted)) << "inserted at " << pos;
      if (pos < base.size()) {
        std::string replaced = base;
        replaced.replace(pos, 1, stray);
        ASSERT_TRUE(SameAsScalar(replaced)) << "replaced at " << pos;
      }
    }
  }
}

TEST_F(Base64SimdTest, RandomAndLargeInputsMatchTheScalarLoop) {
  std::mt19937 rng(13);
  // Mostly alphabet with line breaks, pads and strays sprinkled in.
  const std::string pool = std::string(Base64Table) + std::string(Base64Table) + "\r\n\r\n\n=" + std::string(1, '\0') +
                           "\x80\xFE \t!";
  std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
  std::uniform_int_distribution<std::size_t> length(0, 600);
  for (int i = 0; i < 3000; ++i) {
    std::string text(length(rng), '\0');
    for (char& c : text) c = pool[pick(rng)];
    ASSERT_TRUE(SameAsScalar(text)) << "random text " << i;
  }
  for (const Layout& layout :
       {Layout{76, "\r\n"}, Layout{64, "\n"}, Layout{0, ""}, Layout{76, "\r"}, Layout{20, "\r\n"}, Layout{200, "\n"}}) {
    for (std::size_t size : {50'000u, 1'000'003u}) {
      const std::string payload = RandomBytes(rng, size);
      std::string text = Encode(payload, layout.lineLength, layout.lineBreak);
      for (Base64Simd level : VectorLevels()) EXPECT_EQ(DecodeWith(level, text).bytes, payload);
      // A few damaged spots far apart.
      std::uniform_int_distribution<std::size_t> at(0, text.size() - 1);
      for (int k = 0; k < 20; ++k) text[at(rng)] = "!\x80=\n"[k % 4];
      ASSERT_TRUE(SameAsScalar(text)) << "lines of " << layout.lineLength << ", " << size << " bytes";
    }
  }
}

// Bytes that end right before an unreadable page: any read past the end faults in every build.
class GuardedBytes {
 public:
  explicit GuardedBytes(const std::string& bytes) {
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t span = (bytes.size() + page_ - 1) / page_ * page_ + page_;
    base_ = mmap(nullptr, span + page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base_ == MAP_FAILED) throw std::runtime_error("mmap");
    size_ = span + page_;
    auto* guard = static_cast<unsigned char*>(base_) + span;
    mprotect(guard, page_, PROT_NONE);
    begin_ = guard - bytes.size();
    std::memcpy(begin_, bytes.data(), bytes.size());
  }
  ~GuardedBytes() { munmap(base_, size_); }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;
  const unsigned char* begin() const { return begin_; }
  const unsigned char* end(std::size_t size) const { return begin_ + size; }

 private:
  std::size_t page_ = 0;
  std::size_t size_ = 0;
  void* base_ = nullptr;
  unsigned char* begin_ = nullptr;
};

TEST_F(Base64SimdTest, RunReadsNothingPastTheEndAndWritesOnlyWhatItDecoded) {
  std::mt19937 rng(17);
  const std::string payload = RandomBytes(rng, 200);
  std::vector<std::string> texts;
  for (const Layout& layout : kLayouts) {
    const std::string full = Encode(payload, layout.lineLength, layout.lineBreak);
    for (std::size_t length = 0; length <= 300 && length <= full.size(); ++length) texts.push_back(full.substr(0, length));
  }
  constexpr char kUntouched = '\x5A';
  for (Base64Simd level : [] {
         std::vector<Base64Simd> all = VectorLevels();
         all.push_back(Base64Simd::kScalar);
         return all;
       }()) {
    SetBase64Simd(level);
    for (const std::string& text : texts) {
      const GuardedBytes in(text);
      std::string out(text.size() / 4 * 3 + 64, kUntouched);
      char* o = out.data();
      const unsigned char* stop = DecodeBase64Run(in.begin(), in.end(text.size()), o);
      ASSERT_LE(stop, in.end(text.size()));
      const auto consumed = static_cast<std::size_t>(stop - in.begin());
      const auto written = static_cast<std::size_t>(o - out.data());
      ASSERT_LE(written, consumed / 4 * 3) << "level " << static_cast<int>(level) << ", " << text.size();
      ASSERT_EQ(out.find_first_not_of(kUntouched, written), std::string::npos)
          << "level " << static_cast<int>(level) << " wrote past its output, text of " << text.size();
      // What the run decoded is what the whole decoder makes of the part it stepped over.
      std::string expected;
      Base64DecodeBuffer(text.substr(0, consumed), expected);
      ASSERT_EQ(out.substr(0, written), expected) << "level " << static_cast<int>(level) << ", " << text.size();
    }
  }
}

TEST_F(Base64SimdTest, VectorRunCrossesLineBreaksBetweenWholeGroups) {
  std::mt19937 rng(19);
  const std::string payload = RandomBytes(rng, 57 * 40);  // 40 full lines of 76, no pad
  for (const Layout& layout : {Layout{76, "\r\n"}, Layout{76, "\n"}, Layout{76, "\r"}, Layout{76, " \r\n"},
                               Layout{64, "\r\n"}, Layout{32, "\n"}, Layout{20, "\r\n"}, Layout{228, "\r\n"},
                               Layout{256, "\n"}, Layout{260, "\r\n"}, Layout{0, ""}}) {
    const std::string text = Encode(payload, layout.lineLength, layout.lineBreak);
    const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
    for (Base64Simd level : VectorLevels()) {
      SetBase64Simd(level);
      std::string out(text.size() / 4 * 3, '\0');
      char* o = out.data();
      const unsigned char* stop = DecodeBase64Run(begin, begin + text.size(), o);
      // Only the last line break may be left, as the group loop leaves fewer than four characters.
      EXPECT_EQ(text.find_first_not_of(" \r\n", static_cast<std::size_t>(stop - begin)), std::string::npos)
          << "level " << static_cast<int>(level) << ", lines of " << layout.lineLength;
      EXPECT_EQ(std::string_view(out.data(), static_cast<std::size_t>(o - out.data())), payload);
    }
  }
}

}  // namespace
}  // namespace droprelay
