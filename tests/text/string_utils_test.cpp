#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "text/string_utils.h"

namespace droprelay {
namespace {

namespace fs = std::filesystem;

TEST(StringReplaceAll, RepeatsUntilNoOccurrenceIsLeft) {
  struct Case {
    const char* text;
    const char* pattern;
    const char* replacement;
    const char* expected;
  };
  const Case cases[] = {
      {"a;;;;b", ";;", ";", "a;b"},
      {"a;;;;b", "", ";", "a;;;;b"},
      {"a;;;;b", ";", "", "ab"},
      {"AB ab", "ab", "x", "AB x"},
      {"", "a", "b", ""},
      {"abc", "abcd", "", "abc"},
      {"abab", "ab", "", ""},
      {"x;;;y;;z", ";;", ";", "x;y;z"},
      {"  a  ", " ", "", "a"},
      {"aaaab", "ab", "b", "b"},  // each round makes a new occurrence to its left
      // The rescan from the start finds an occurrence straddling the inserted text first.
      {"xaab", "ab", "bc", "xcbc"},
      {"Привет мир", "мир", "свет", "Привет свет"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StringReplaceAll(c.text, c.pattern, c.replacement), c.expected)
        << c.text << " / " << c.pattern << " / " << c.replacement;
  }
  EXPECT_EQ(StringReplaceAll(std::string("a\0\0b", 4), std::string("\0", 1), "-"), "a--b");
}

TEST(StringReplaceAll, EndsWhenTheReplacementHoldsThePattern) {
  // Each occurrence of the input is replaced once, left to right.
  EXPECT_EQ(StringReplaceAll("a;b;c", ";", ";;"), "a;;b;;c");
  EXPECT_EQ(StringReplaceAll("ab", "ab", "ab"), "ab");
  EXPECT_EQ(StringReplaceAll("aaa", "aa", "xaay"), "xaaya");
  EXPECT_EQ(StringReplaceAll("no match", "z", "zz"), "no match");
}

TEST(StringReplaceAll, EndsForPairsThatRewriteWithoutBound) {
  // "ab" -> "bba" doubles the b's for every a: unbounded growth; the call must still end.
  const std::string text = std::string(40, 'a') + "b";
  const std::string result = StringReplaceAll(text, "ab", "bba");
  EXPECT_LE(result.size(), 16 * text.size() + 4096 + 3 * text.size());
  // Under the rescan-from-the-start rule "aab" never settles either (each round deletes the
  // occurrence the insert just made): it falls back to one pass over the input.
  EXPECT_EQ(StringReplaceAll("aab", "ab", "bba"), "abba");
  // So does a same-length pair whose rounds cycle ("aabb" -> "abaabb" -> "aabb" ...).
  EXPECT_EQ(StringReplaceAll("aabb", "ab", "ba"), "abab");
  // A same-length pair that settles is rewritten to the end, straddles included.
  EXPECT_EQ(StringReplaceAll("xaab", "ab", "bc"), "xcbc");
  EXPECT_EQ(StringReplaceAll("Уважаемый коллега", "ый", "ая"), "Уважаемая коллега");
}

TEST(StringReplaceAll, MatchesANaiveRewriterOnRandomInput) {
  // Reference: the rewriting exactly as described, without any shortcut; gives up (answers
  // nullopt) when a pair has not settled within a few hundred rounds.
  const auto naive = [](std::string s, const std::string& p, const std::string& r) -> std::optional<std::string> {
    int rounds = 0;
    for (std::size_t pos = s.find(p); pos != std::string::npos; pos = s.find(p)) {
      if (++rounds > 500) return std::nullopt;
      s.insert(pos, r);
      s.erase(s.find(p), p.size());
    }
    return s;
  };
  std::mt19937 random(12345);
  const auto word = [&](std::size_t maxLength) {
    std::string s(random() % (maxLength + 1), ' ');
    for (char& c : s) c = "ab;"[random() % 3];
    return s;
  };
  int compared = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::string text = word(40);
    std::string pattern = word(4);
    if (pattern.empty()) pattern = ";";
    const std::string replacement = word(6);
    if (replacement.find(pattern) != std::string::npos) continue;
    const std::optional<std::string> expected = naive(text, pattern, replacement);
    if (!expected) continue;
    ++compared;
    ASSERT_EQ(StringReplaceAll(text, pattern, replacement), *expected)
        << text << " / " << pattern << " / " << replacement;
  }
  EXPECT_GT(compared, 10000);
}

TEST(StringReplaceAll, CollapsesLongRunsOnLongTexts) {
  // A shrinking pair over a long text: every run collapses to one separator.
  std::string text;
  for (std::size_t i = 0; i < 20000; ++i) text += "word" + std::string(1 + i % 7, ';');
  std::string expected;
  for (int i = 0; i < 20000; ++i) expected += "word;";
  EXPECT_EQ(StringReplaceAll(text, ";;", ";"), expected);
}

}  // namespace
}  // namespace droprelay
