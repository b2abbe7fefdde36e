#include "session/wide_string.h"

#include <functional>

#include "session/session_log.h"
#include "support/sim_test.h"

namespace session {
namespace {

using testing_support::SimTest;

class WideStringTest : public SimTest {
 protected:
  WideString Make(const wchar_t* text) {
    WideString string;
    Assign(string, text);
    return string;
  }
};

TEST_F(WideStringTest, CapacityGrowsAndShrinksInStepsOf32Characters) {
  struct Case {
    size_t length;
    size_t block_bytes;
  };
  const Case cases[] = {{1, 72}, {31, 72}, {32, 136}, {63, 136}, {64, 200}, {10, 72}};
  WideString string;
  for (const Case& c : cases) {
    ASSERT_TRUE(Resize(string, c.length));
    EXPECT_EQ(sim.BlockSize(string.block), c.block_bytes) << "length " << c.length;
    EXPECT_EQ(Length(string), c.length);
    EXPECT_EQ(Text(string)[c.length], L'\0');
  }
  Release(string);
  EXPECT_EQ(string.block, nullptr);
}

TEST_F(WideStringTest, ShrinkingKeepsTheLeadingCharactersAndReallocatesOnlyAcrossASteps) {
  WideString string = Make(L"0123456789abcdefghijklmnopqrstuvwxyzABCD");  // 40
  EXPECT_EQ(sim.BlockSize(string.block), 136u);
  ASSERT_TRUE(Resize(string, 10));
  EXPECT_EQ(sim.BlockSize(string.block), 72u);
  EXPECT_STREQ(Text(string), L"0123456789");
  int reallocations = sim.Count("HeapReAlloc");
  Append(string, L"abc");
  EXPECT_EQ(sim.Count("HeapReAlloc"), reallocations) << "still within the same step";
  Release(string);
}

TEST_F(WideStringTest, EmptyTextsNeverHoldABlock) {
  WideString string = Make(L"abc");
  Assign(string, L"");
  EXPECT_EQ(string.block, nullptr);
  Append(string, L"");
  EXPECT_EQ(string.block, nullptr);
  Assign(string, nullptr);
  EXPECT_EQ(string.block, nullptr);
  EXPECT_STREQ(Text(string), L"");
  WideString narrow = FromNarrow("");
  EXPECT_EQ(narrow.block, nullptr);
  WideString copy = Copy(string);
  EXPECT_EQ(copy.block, nullptr);
}

TEST_F(WideStringTest, AppendAssignAndCopyIncludingTheStringsOwnText) {
  WideString string = Make(L"abc");
  Append(string, L"def");
  EXPECT_STREQ(Text(string), L"abcdef");
  Append(string, Text(string));  // the block moves while its text is appended
  EXPECT_STREQ(Text(string), L"abcdefabcdef");
  Assign(string, Text(string) + 6, 3);
  EXPECT_STREQ(Text(string), L"abc");
  WideString copy = Copy(string);
  EXPECT_NE(copy.block, string.block);
  EXPECT_STREQ(Text(copy), L"abc");
  EXPECT_EQ(sim.BlockSize(copy.block), sim.BlockSize(string.block));
  WideString converted = FromNarrow("C:\\Program Files\\lumtray.exe");
  EXPECT_STREQ(Text(converted), L"C:\\Program Files\\lumtray.exe");
  EXPECT_EQ(Length(converted), 28u);
  Release(string);
  Release(copy);
  Release(converted);
}

TEST_F(WideStringTest, ParentDirectoryCutsAtTheLastBackslashOrElseTheLastSlash) {
  const struct {
    const wchar_t* path;
    const wchar_t* parent;
  } cases[] = {
      {L"C:\\dir\\file", L"C:\\dir"},
      {L"C:\\dir\\", L"C:\\dir"},
      {L"\\file", L""},
      {L"a/b\\c/d", L"a/b"},
      {L"a/b/c", L"a/b"},
      {L"file", L""},
      {L"", L""},
  };
  for (const auto& c : cases) {
    WideString source = Make(c.path);
    WideString parent = ParentDirectory(source);
    EXPECT_STREQ(Text(parent), c.parent) << testing_support::Utf8(c.path);
    Release(source);
    Release(parent);
  }
}

TEST_F(WideStringTest, AFailedAllocationLeavesEveryStringValid) {
  const struct {
    const char* name;
    std::function<void(WideString& target, WideString& result)> operation;
  } cases[] = {
      {"Resize", [](WideString& t, WideString&) { EXPECT_FALSE(Resize(t, 100)); }},
      {"Assign",
       [](WideString& t, WideString&) {
         EXPECT_FALSE(Assign(t, L"C:\\other\\longer text than 31 characters"));
       }},
      {"Append",
       [](WideString& t, WideString&) {
         EXPECT_FALSE(Append(t, L"a text long enough to need a new step"));
       }},
      {"FromNarrow", [](WideString&, WideString& r) { r = FromNarrow("text"); }},
      {"Copy", [](WideString& t, WideString& r) { r = Copy(t); }},
      {"ParentDirectory", [](WideString& t, WideString& r) { r = ParentDirectory(t); }},
  };
  for (const auto& c : cases) {
    WideString target = Make(L"C:\\dir\\abc");
    WideString result;
    sim.FailAllocation(1);
    c.operation(target, result);
    EXPECT_STREQ(Text(target), L"C:\\dir\\abc") << c.name;
    EXPECT_EQ(result.block, nullptr) << c.name;
    Release(target);
  }
}

TEST_F(WideStringTest, WideFormattingTakesPercentSAsAWideText) {
  wchar_t buffer[16];
  EXPECT_EQ(FormatText(buffer, 16, L"%s|%d|%x", L"ab", -3, 255), 8u);
  EXPECT_STREQ(buffer, L"ab|-3|ff");
  EXPECT_EQ(FormatText(buffer, 4, L"%s", L"abcdef"), 3u) << "cut, and terminated";
  EXPECT_STREQ(buffer, L"abc");
}

}  // namespace
}  // namespace session
