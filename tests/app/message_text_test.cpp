// The text rules of relaying one message: recipient rewrite, subject blanks, charset branches,
// previews and the substitution table.
#include "app/message_text.h"

#include <gtest/gtest.h>

#include <string>

#include "text/ascii.h"

namespace droprelay {
namespace {

TEST(RewriteRecipient, TakesLocalPartOfFirstAddressIntoDomain) {
  EXPECT_EQ(RewriteRecipient("ivanov@mail.example.net", "corp.example", ""), "ivanov@corp.example");
  EXPECT_EQ(RewriteRecipient("  ivanov @a.example,petrov@b.example", "corp.example", ""), "ivanov@corp.example");
  EXPECT_EQ(RewriteRecipient("ivanov@a.example", "corp.example", "boss@corp.example"),
            "ivanov@corp.example ; boss@corp.example");
}

TEST(RewriteRecipient, NoAddressGivesBareDomain) {
  EXPECT_EQ(RewriteRecipient("", "corp.example", ""), "@corp.example");
  EXPECT_EQ(RewriteRecipient("\"\"", "corp.example", ""), "@corp.example");
}

TEST(RewriteRecipient, HeaderCannotAddRecipientsOrLeaveTheDomain) {
  // Each of these would otherwise split into a second recipient or a second address.
  EXPECT_EQ(RewriteRecipient("x;attacker@evil.example", "corp.example", ""), "xattacker@corp.example");
  EXPECT_EQ(RewriteRecipient("\"a b,c\"@evil.example", "corp.example", ""), "abc@corp.example");
  EXPECT_EQ(RewriteRecipient("a<b>\r\nRCPT TO:<c@evil.example", "corp.example", ""),
            "abRCPTTO:c@corp.example");
  const std::string recipient = RewriteRecipient(std::string("a\0b", 3) + "@x", "corp.example", "");
  EXPECT_EQ(recipient, "ab@corp.example");
}

TEST(NormalizeSubject, ConvertsAndTrims) {
  EXPECT_EQ(NormalizeSubject("  \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82\t"), "\xCF\xF0\xE8\xE2\xE5\xF2");
  // Windows-1251 bytes are not UTF-8 and pass unchanged.
  EXPECT_EQ(NormalizeSubject("\xCC\xE8\xF0"), "\xCC\xE8\xF0");
}

TEST(NormalizeSubject, DropsBlanksAtFixedPositions) {
  const std::string head25(25, 'a');
  // 30 characters with a blank at 26: one shorter.
  EXPECT_EQ(NormalizeSubject(head25 + " bcde"), head25 + "bcde");
  // 27 characters with a blank at 26.
  EXPECT_EQ(NormalizeSubject(head25 + " b"), head25 + "b");
  // After the deletion at 26 the test at 49 sees what was the 50th character.
  const std::string blankAt26And50 = head25 + " " + std::string(23, 'b') + " tail";
  EXPECT_EQ(NormalizeSubject(blankAt26And50), head25 + std::string(23, 'b') + "tail");
  // A blank at 49 with none at 26 goes too; one at 50 without a deletion before it stays.
  EXPECT_EQ(NormalizeSubject(std::string(48, 'd') + " e"), std::string(48, 'd') + "e");
  EXPECT_EQ(NormalizeSubject(std::string(49, 'd') + " e"), std::string(49, 'd') + " e");
  // A blank at 81 (after no earlier deletion).
  std::string eighty(80, 'c');
  EXPECT_EQ(NormalizeSubject(eighty + " z"), eighty + "z");
  // Only one blank goes at each place: a second one stays.
  EXPECT_EQ(NormalizeSubject(head25 + "  q"), head25 + " q");
}

TEST(ConvertPlainBody, ChoosesCharsetFromStoredText) {
  const std::string utf8 = "\xD0\x94\xD0\xB0";   // "Да" in UTF-8
  const std::string koi8 = "\xE4\xC1";           // "Да" in KOI8-R
  const std::string cp1251 = "\xC4\xE0";         // "Да" in Windows-1251
  EXPECT_EQ(ConvertPlainBody(utf8, "Content-Type: text/plain; charset=utf-8"), cp1251);
  EXPECT_EQ(ConvertPlainBody(cp1251, "Content-Type: text/plain; charset=windows-1251\r\n"), cp1251);
  EXPECT_EQ(ConvertPlainBody(koi8, "Content-Type: text/plain; charset=\"koi8-r\"\r\n"), cp1251);
  // Both declared: KOI8-R wins.
  EXPECT_EQ(ConvertPlainBody(koi8,
                             "Content-Type: text/plain; charset=windows-1251\r\n"
                             "Content-Type: text/plain; charset=\"koi8-r\"\r\n"),
            cp1251);
  // The searches are exact: other spellings fall back to the UTF-8 conversion, which keeps
  // non-UTF-8 bytes.
  EXPECT_EQ(ConvertPlainBody(cp1251, "Content-Type: text/plain; charset=Windows-1251"), cp1251);
  EXPECT_EQ(ConvertPlainBody(koi8, "content-type: text/plain; charset=koi8-r"), koi8);
}

TEST(DeclaresKoi8, QuotedOrBareLowerCaseOnly) {
  EXPECT_TRUE(DeclaresKoi8("Content-Type: text/html; charset=\"koi8-r\""));
  EXPECT_TRUE(DeclaresKoi8("x charset=koi8-r"));
  EXPECT_FALSE(DeclaresKoi8("charset=KOI8-R"));
  EXPECT_FALSE(DeclaresKoi8("charset = koi8-r"));
}

TEST(Preview, EightyCharactersThenEllipsis) {
  EXPECT_EQ(Preview(std::string(80, 'x')), std::string(80, 'x'));
  EXPECT_EQ(Preview(std::string(81, 'x')), std::string(80, 'x') + "...");
  EXPECT_EQ(Preview(""), "");
}

TEST(ApplySubstitutions, PairsApplyInOrderOnEarlierResults) {
  EXPECT_EQ(ApplySubstitutions("abc", {}, {}), "abc");
  EXPECT_EQ(ApplySubstitutions("a  b   c", {"  "}, {" "}), "a b c");
  // The second pair sees what the first produced.
  EXPECT_EQ(ApplySubstitutions("cat", {"c", "b"}, {"b", "h"}), "hat");
  // Case-sensitive: small ё becomes е, capital Ё stays.
  EXPECT_EQ(ApplySubstitutions("\xB8\xA8", {"\xB8"}, {"\xE5"}), "\xE5\xA8");
  // A pair whose replacement contains its pattern still ends.
  EXPECT_EQ(ApplySubstitutions("a-b", {"-"}, {"--"}), "a--b");
}

TEST(TrimControls, RemovesCodesUpTo32) {
  EXPECT_EQ(TrimControls("\r\n\t a b \x01"), "a b");
  EXPECT_TRUE(IsBlankText(" \r\n\t"));
  EXPECT_TRUE(IsBlankText(""));
  EXPECT_FALSE(IsBlankText(" x "));
}

}  // namespace
}  // namespace droprelay

namespace droprelay {
namespace {

TEST(SubjectCharset, Koi8EncodedWordsAreConvertedFromKoi8) {
  EXPECT_TRUE(SubjectWordsAreKoi8("=?KOI8-R?B?8NLJ9w==?="));
  EXPECT_TRUE(SubjectWordsAreKoi8("Re: =?koi8-r?Q?=F0=D2=C9?="));
  EXPECT_FALSE(SubjectWordsAreKoi8("=?utf-8?B?0J/RgNC4?="));
  EXPECT_FALSE(SubjectWordsAreKoi8("koi8-r"));
  // KOI8-R "Привет" read as KOI8-R, and the same bytes without the declaration left alone.
  EXPECT_EQ(NormalizeSubject("\xF0\xD2\xC9\xD7\xC5\xD4", true), "\xCF\xF0\xE8\xE2\xE5\xF2");
  EXPECT_EQ(NormalizeSubject("\xF0\xD2\xC9\xD7\xC5\xD4", false), "\xF0\xD2\xC9\xD7\xC5\xD4");
}

}  // namespace
}  // namespace droprelay

namespace droprelay {
namespace {

TEST(JoinAdjacentEncodedWords, FoldingBetweenWordsIsNotText) {
  EXPECT_EQ(JoinAdjacentEncodedWords("=?utf-8?b?QQ==?= =?utf-8?b?Qg==?="), "=?utf-8?b?QQ==?==?utf-8?b?Qg==?=");
  EXPECT_EQ(JoinAdjacentEncodedWords("=?x?Q?a?= \t =?x?Q?b?= c =?x?Q?d?="), "=?x?Q?a?==?x?Q?b?= c =?x?Q?d?=");
  // Text between words, plain text, and a lone word stay as they are.
  EXPECT_EQ(JoinAdjacentEncodedWords("Re: =?x?Q?a?= and =?x?Q?b?="), "Re: =?x?Q?a?= and =?x?Q?b?=");
  EXPECT_EQ(JoinAdjacentEncodedWords("plain subject ?= =? odd"), "plain subject ?= =? odd");
  EXPECT_EQ(JoinAdjacentEncodedWords(""), "");
}

}  // namespace
}  // namespace droprelay
