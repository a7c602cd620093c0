// Address checking: every refusal, the order of the checks, lists and the
// recipient separator.
#include <gtest/gtest.h>

#include <string>

#include "codec/address.h"
#include "exact_buffer.h"
#include "frame/settings.h"
#include "qel32.h"

using namespace qel;
using qel::test::ExactBuffer;

namespace {

struct Case {
  const char* address;
  int32_t expected;
};

void expectVerdicts(const Case* cases, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    // Exactly the text and its NUL, so no search may run past the end.
    ExactBuffer text = ExactBuffer::of(cases[i].address, true);
    EXPECT_EQ(qelVerifyFormat(text.data()), cases[i].expected) << cases[i].address;
  }
}

TEST(VerifyFormat, Verdicts) {
  const Case cases[] = {
      {"Ann Lee <ann.lee@example.org>", 1},
      {"<ann.lee@example.org>", 1},
      {"<root@localhost>", 1},  // a domain without a period
      {"<A-Z_a/b$c&d'e.9@x.y>", 1},  // every allowed punctuation character
      {"<ann@example.org> trailing text is not examined +%", 1},
      {"ann@example.org", QEL_ERR_MISSING_LT},
      {"Ann <ann@example.org", QEL_ERR_MISSING_GT},
      {"Ann > Bob <bob@example.org>", QEL_ERR_MISSING_GT},  // ">" before "<"
      {"", QEL_ERR_EMPTY_ADDRESS},
      {"Nobody <>", QEL_ERR_NULL_POINTER},
      {"<@example.org>", QEL_ERR_EMPTY_ADDRESS},
      {"<ann@>", QEL_ERR_EMPTY_ADDRESS},
      {"<ann+tag@example.org>", QEL_ERR_BAD_ADDRESS_CHAR},
      {"<ann%x@example.org>", QEL_ERR_BAD_ADDRESS_CHAR},
      {"<ann lee@example.org>", QEL_ERR_BAD_ADDRESS_CHAR},
      {"<ann\xE9@example.org>", QEL_ERR_BAD_ADDRESS_CHAR},
      {"<ann\t@example.org>", QEL_ERR_BAD_ADDRESS_CHAR},
      {"<ann@host@example.org>", QEL_ERR_TOO_MANY_AT},
      {"<ann.example.org>", QEL_ERR_MISSING_AT},
      {"<x>", QEL_ERR_MISSING_AT},
  };
  expectVerdicts(cases, sizeof cases / sizeof cases[0]);
  EXPECT_EQ(qelVerifyFormat(nullptr), QEL_ERR_NULL_POINTER);
}

// Where an address has several faults, the first check in order decides.
TEST(VerifyFormat, OrderOfChecks) {
  const Case cases[] = {
      {"> no opening", QEL_ERR_MISSING_LT},    // "<" is looked for before ">"
      {"<", QEL_ERR_MISSING_GT},
      {"<@>", QEL_ERR_EMPTY_ADDRESS},          // empty user before the character walk
      {"<@a@b>", QEL_ERR_EMPTY_ADDRESS},
      {"<a+b@c@d>", QEL_ERR_BAD_ADDRESS_CHAR}, // the walk stops at its first fault
      {"<a@b@c+d>", QEL_ERR_TOO_MANY_AT},
      {"<a b>", QEL_ERR_BAD_ADDRESS_CHAR},     // a refused character before the "@" count
  };
  expectVerdicts(cases, sizeof cases / sizeof cases[0]);
}

TEST(VerifyFormat, ListsAreJudgedByTheirFirstItem) {
  const Case cases[] = {
      {"<ann@example.org>,<bob@example.org>", 1},
      {"<ann@example.org>, bob without brackets", 1},
      {"ann@example.org, <bob@example.org>", QEL_ERR_MISSING_LT},
      {"Ann <ann@example.org, <bob@example.org>", QEL_ERR_BAD_ADDRESS_CHAR},  // no cut inside brackets
      {"Lee, Ann <ann@example.org>", QEL_ERR_MISSING_LT},  // the comma ends the item
      {"\"Lee, Ann\" <ann@example.org>", 1},                 // but not inside quotes
      {"\"Lee \\\", Ann\" <ann@example.org>", 1},            // nor after a quoted pair
      {"\"Lee\", Ann <ann@example.org>", QEL_ERR_MISSING_LT},
  };
  expectVerdicts(cases, sizeof cases / sizeof cases[0]);
}

TEST(VerifyFormat, ChangedRecipientSeparator) {
  settings.recipientSeparator = ';';
  const Case cases[] = {
      {"Lee, Ann <ann@example.org>", 1},
      {"<ann@example.org>;<bob@example.org>", 1},
      {"ann@example.org; <bob@example.org>", QEL_ERR_MISSING_LT},
      {"<ann@example.org,bob@example.org>", QEL_ERR_BAD_ADDRESS_CHAR},
  };
  expectVerdicts(cases, sizeof cases / sizeof cases[0]);
  resetLibrarySettings();
}

TEST(FindInItem, StopsAtTheSeparatorOutsideQuotesAndBrackets) {
  struct Row {
    const char* text;
    char c;
    int32_t position;  // -1: none
  } rows[] = {{"ab,c<d", 'a', 0}, {"ab,c<d", 'b', 1}, {"ab,c<d", ',', 2}, {"ab,c<d", 'c', -1},
              {"ab,c<d", '<', -1}, {"ab,c<d", 'x', -1}, {"\"a,b\" <c>", '<', 6}, {"\"a\\\",b\"<c>", '<', 7},
              {"\"a\",b<c>", '<', -1}, {"<a,b>c,d", 'c', 5}, {"<a,b>c,d", 'd', -1}, {"\"a,b", 'b', 3}};
  for (const Row& row : rows) {
    const char* found = findInItem(row.text, row.c);
    EXPECT_EQ(found == nullptr ? -1 : static_cast<int32_t>(found - row.text), row.position) << row.text << row.c;
  }
  char writable[] = "x<y";
  char* found = findInItem(writable, '<');
  ASSERT_EQ(found, writable + 1);
  EXPECT_EQ(findInItem(static_cast<const char*>(nullptr), 'a'), nullptr);
  EXPECT_EQ(findInItem(static_cast<char*>(nullptr), 'a'), nullptr);
}

TEST(CheckAddressChars, Range) {
  const char* text = "a@b+c";
  EXPECT_EQ(checkAddressChars(text, text + 3), 1);
  EXPECT_EQ(checkAddressChars(text, text + 4), QEL_ERR_BAD_ADDRESS_CHAR);  // end is excluded, "+" is not
  EXPECT_EQ(checkAddressChars(text, text + 1), QEL_ERR_MISSING_AT);
  EXPECT_EQ(checkAddressChars(text, text), QEL_ERR_MISSING_AT);
  EXPECT_EQ(checkAddressChars(nullptr, text), QEL_ERR_NULL_POINTER);
  EXPECT_EQ(checkAddressChars(text, nullptr), QEL_ERR_NULL_POINTER);
}

}  // namespace
