// The part model: header field access, the part lists, tree wiring and ownership.
#include <gtest/gtest.h>

#include <algorithm>

#include "mail/mail_error.h"
#include "mail/mail_message.h"
#include "mail_test_util.h"

namespace droprelay {
namespace {

using testing::Crlf;

TEST(HeaderAccess, FirstOfEqualFieldsIsReadAndRemoved) {
  TMailPart part;
  part.HeaderLines() = {"X-Mailer: first", "X-Mailer-Extra: no", "X-Mailer: second"};
  EXPECT_EQ(part.GetHeaderValue("x-mailer"), "first");
  part.SetHeaderValue("x-mailer", "");
  ASSERT_EQ(part.HeaderLines().size(), 2u);
  EXPECT_EQ(part.GetHeaderValue("X-Mailer"), "second");
  EXPECT_EQ(part.GetHeaderValue("X-Mail"), "");  // a longer name is another field
}

TEST(HeaderAccess, ValuesAreTrimmedAndUnquoted) {
  struct Case {
    const char* line;
    const char* value;
  } cases[] = {
      {"Subject: 'x'", "x"},
      {"Subject: ''", "''"},
      {"Subject: \"x'", "x"},
      {"Subject: \"a;b\" ; c", "a;b"},
      {"Subject: a; b", "a"},
      {"Subject:", ""},
      {"Subject : a", ""},  // a blank before the colon is never matched
  };
  for (const Case& c : cases) {
    TMailPart part;
    part.HeaderLines().emplace_back(c.line);
    EXPECT_EQ(part.GetHeaderValue("Subject"), c.value) << c.line;
  }
}

TEST(HeaderAccess, SettingValuesAndParameters) {
  TMailPart part;
  part.HeaderLines().emplace_back("Content-Type: text/plain; charset=koi8-r");
  part.SetHeaderValue("Content-Type", "text/html");
  EXPECT_EQ(part.HeaderLines()[0], "Content-Type: text/html; charset=koi8-r");
  part.SetHeaderParam("content-type", "CHARSET", "\"utf-8\"");
  EXPECT_EQ(part.GetHeaderParam("Content-Type", "charset"), "utf-8");
  EXPECT_EQ(part.HeaderLines().size(), 1u);

  TMailPart fresh;
  fresh.SetHeaderParam("Content-Type", "boundary", "b1");
  ASSERT_EQ(fresh.HeaderLines().size(), 1u);
  EXPECT_EQ(fresh.HeaderLines()[0], "Content-Type:; boundary=b1");
  EXPECT_EQ(fresh.GetPartBoundary(), "b1");
  EXPECT_EQ(fresh.GetHeaderValue("Content-Type"), "");

  fresh.SetHeaderValue("X-New", "  v  ");
  EXPECT_EQ(fresh.HeaderLines().back(), "X-New: v");
  fresh.SetHeaderValue("X-Absent", "");  // removing an absent field changes nothing
  EXPECT_EQ(fresh.HeaderLines().size(), 2u);
}

TEST(HeaderAccess, PresenceAndMediaType) {
  TMailPart part;
  part.HeaderLines() = {"Content-ID:", "Content-Type: Text/HTML; name=\"\""};
  EXPECT_TRUE(part.HasHeader("Content-ID"));
  EXPECT_FALSE(part.HasHeader("Content-Disposition"));
  EXPECT_FALSE(part.HasHeaderParam("Content-Type", "name"));
  EXPECT_FALSE(part.HasHeaderParam("Content-Disposition", "filename"));
  EXPECT_EQ(part.GetMediaType(), "text/html");
  part.SetHeaderParam("Content-Type", "name", "\"a.gif\"");
  EXPECT_TRUE(part.HasHeaderParam("Content-Type", "name"));
  EXPECT_EQ(TMailPart().GetMediaType(), "");
}

TEST(PartLists, IndexErrorsNameTheIndex) {
  TMailPartList list;
  TMailPart a;
  EXPECT_EQ(list.Add(&a), 0);
  EXPECT_EQ(list.GetItem(0), &a);
  for (int bad : {-1, 1, 7}) {
    try {
      list.GetItem(bad);
      FAIL() << bad;
    } catch (const EMailError& error) {
      EXPECT_EQ(std::string(error.what()), "List index out of bounds (" + std::to_string(bad) + ")");
    }
  }
  TMailMessage m;
  EXPECT_THROW(m.SubParts().GetItem(0), EMailError);
  EXPECT_EQ(list.Remove(&a), 0);
  EXPECT_EQ(list.Count(), 0);
}

// Ownership: every part belongs to the message; a detached part lives on until freed or until the
// message goes; nothing is freed twice (the sanitizer build checks these at run time).
TEST(PartTree, DetachKeepsThePartAliveWithTheMessage) {
  auto m = std::make_unique<TMailMessage>();
  m->ParseText(Crlf({"Content-Type: multipart/mixed; boundary=b", "", "--b", "A: 1", "", "one", "--b", "B: 2", "",
                     "two", "--b--"}),
               true);
  TMailPart* first = m->SubParts()[0];
  first->DetachFromParent();
  EXPECT_EQ(first->ParentPart(), nullptr);
  EXPECT_EQ(first->OwnerMessage(), m.get());
  EXPECT_EQ(m->SubParts().Count(), 1);
  EXPECT_EQ(m->LoosePartCount(), 1);
  EXPECT_EQ(first->RawBody().View(), "one\r\n");  // still alive

  // Detaching again, or the message itself, changes nothing.
  first->DetachFromParent();
  m->DetachFromParent();
  EXPECT_EQ(m->LoosePartCount(), 1);

  // It can be hung in again, elsewhere.
  TMailPart* second = m->SubParts()[0];
  second->AppendSubPart(first);
  EXPECT_EQ(first->ParentPart(), second);
  EXPECT_EQ(m->LoosePartCount(), 0);
  EXPECT_THROW(second->AppendSubPart(first), EMailError);  // already in a tree
  first->DetachFromParent();
  m.reset();  // the loose part goes with the message
}

// Detaching leaves an empty slot that the next read closes up: whatever is taken out, in whatever
// order, and whatever is appended in between, the list reads back in order with the right indexes.
TEST(PartTree, SubPartsStayInOrderWhateverIsDetached) {
  struct Case {
    std::vector<int> detach;  // by original index, in this order
    int appendAfter;          // re-append the detached parts after this many detaches (-1: never)
  };
  const std::vector<Case> cases = {
      {{0}, -1},          {{4}, -1},        {{2}, -1},       {{0, 1, 2, 3, 4}, -1}, {{4, 3, 2, 1, 0}, -1},
      {{1, 3}, -1},       {{0, 4}, 1},      {{2, 0, 4}, 2},  {{1, 2, 3}, 0},
  };
  for (const Case& c : cases) {
    TMailMessage m;
    std::vector<TMailPart*> parts;
    for (int i = 0; i < 5; ++i) {
      parts.push_back(m.CreatePart());
      parts.back()->Name = std::to_string(i);
      m.AppendSubPart(parts.back());
    }
    std::vector<std::string> expected = {"0", "1", "2", "3", "4"};
    std::vector<TMailPart*> detached;
    for (std::size_t k = 0; k < c.detach.size(); ++k) {
      TMailPart* part = parts[static_cast<std::size_t>(c.detach[k])];
      part->DetachFromParent();
      detached.push_back(part);
      expected.erase(std::find(expected.begin(), expected.end(), part->Name));
      if (static_cast<int>(k) == c.appendAfter) {
        for (TMailPart* d : detached) {
          m.AppendSubPart(d);
          expected.push_back(d->Name);
        }
        detached.clear();
      }
      EXPECT_EQ(m.SubParts().Count(), static_cast<int>(expected.size()));
    }
    std::vector<std::string> names;
    for (const TMailPart* part : m.SubParts()) names.push_back(part->Name);
    EXPECT_EQ(names, expected) << "case " << &c - cases.data();
    for (int i = 0; i < m.SubParts().Count(); ++i) {
      EXPECT_EQ(m.SubParts().IndexOf(m.SubParts()[i]), i);
      EXPECT_EQ(m.SubParts()[i]->ParentPart(), &m);
    }
    for (TMailPart* d : detached) EXPECT_EQ(m.SubParts().IndexOf(d), -1);
    EXPECT_EQ(m.LoosePartCount(), static_cast<int>(detached.size()));
  }
}

TEST(PartTree, DetachWhenParentNoLongerListsThePart) {
  TMailMessage m;
  TMailPart* a = m.CreatePart();
  TMailPart* b = m.CreatePart();
  m.AppendSubPart(a);
  b->SetParentPart(&m);  // names a parent that does not list it
  b->DetachFromParent();
  EXPECT_EQ(b->ParentPart(), &m);
  EXPECT_EQ(m.SubParts().Count(), 1);
}

TEST(PartTree, FreePartFreesSubtreeOnce) {
  TMailMessage m;
  TMailPart* container = m.CreatePart();
  TMailPart* leaf = m.CreatePart();
  container->AppendSubPart(leaf);
  m.AppendSubPart(container);
  EXPECT_EQ(m.LoosePartCount(), 0);
  m.FreePart(container);  // detaches and frees it with its leaf
  EXPECT_EQ(m.SubParts().Count(), 0);
  EXPECT_EQ(m.LoosePartCount(), 0);
  m.FreePart(&m);  // the message is not a part it can free
}

TEST(PartTree, SubPartsOfAReparsedPartGoAndItsPlaceStays) {
  TMailMessage m;
  m.ParseText(Crlf({"Content-Type: multipart/mixed; boundary=b", "", "--b",
                    "Content-Type: multipart/alternative; boundary=c", "", "--c", "", "x", "--c--", "--b--"}),
              true);
  TMailPart* inner = m.SubParts()[0];
  ASSERT_EQ(inner->SubParts().Count(), 1);
  inner->ParseText("Content-Type: text/plain\r\n\r\nnew\r\n", true);
  EXPECT_EQ(inner->SubParts().Count(), 0);
  EXPECT_EQ(inner->ParentBoundary(), "b");
  EXPECT_EQ(inner->ParentPart(), &m);
  EXPECT_EQ(inner->RawBody().View(), "new\r\n");
  EXPECT_TRUE(m.LocatePending());
}

}  // namespace
}  // namespace droprelay
