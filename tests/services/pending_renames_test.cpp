#include "services/pending_renames.h"

#include <cstring>
#include <string>

#include "support/sim_test.h"

namespace services {
namespace {

using testing_support::SimTest;

class PendingRenamesTest : public SimTest {
 protected:
  // Stores raw bytes as the queue value, whatever they hold.
  void SetQueue(const std::string& bytes, DWORD type = REG_MULTI_SZ) {
    sim.registry.Set(sim::kSessionManagerKey, sim::kPendingRenamesValue,
                     sim::RegValue{type, bytes});
  }
  static std::string Wide(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
  }
  std::vector<std::wstring> Names(const PendingRenameTable& table) {
    std::vector<std::wstring> names;
    for (uint32_t i = 0; i < 2 * table.count; ++i) {
      names.push_back(table.names[i] != nullptr ? table.names[i] : L"<null>");
    }
    return names;
  }
};

TEST_F(PendingRenamesTest, QueuedDeletionsOfExistingFilesAreCarriedOutAndRenamesLeftAlone) {
  sim.fs.Put(L"C:\\a.dll");
  sim.fs.Put(L"C:\\b.dll");
  SetQueue(Wide(std::wstring(L"\\??\\C:\\a.dll\0\0\\??\\C:\\b.dll\0!\\??\\C:\\c.dll\0\0", 42)));
  PendingRenameTable table = LoadPendingRenameTable();
  ASSERT_EQ(table.count, 2u);
  EXPECT_THAT(Names(table), ::testing::ElementsAre(L"\\??\\C:\\a.dll", L"<null>",
                                                   L"\\??\\C:\\b.dll", L"!\\??\\C:\\c.dll"));
  EXPECT_EQ(table.flags[0], 1u);
  EXPECT_EQ(table.flags[2], 1u);
  PurgePendingRenameDeletes(table);
  EXPECT_FALSE(sim.fs.Exists(L"C:\\a.dll"));
  EXPECT_TRUE(sim.fs.Exists(L"C:\\b.dll")) << "a rename is not a deletion";
  EXPECT_EQ(table.flags[0], 0u);
  EXPECT_EQ(table.flags[2], 1u);
  FreePendingRenameTable(table);
  EXPECT_NE(sim.registry.Get(sim::kSessionManagerKey, sim::kPendingRenamesValue), nullptr)
      << "the queue itself is never written";
}

TEST_F(PendingRenamesTest, OnlyWholePairsCountAndOnlyExistingFilesAreFlagged) {
  sim.fs.Put(L"C:\\a.dll");
  sim.fs.MakeDirectory(L"C:\\folder.dll");
  const struct {
    const char* name;
    std::wstring value;
    uint32_t count;
    std::vector<uint32_t> source_flags;
  } cases[] = {
      {"three strings", std::wstring(L"\\??\\C:\\a.dll\0\0\\??\\C:\\z\0\0", 24), 1, {1}},
      {"a directory", std::wstring(L"\\??\\C:\\folder.dll\0\0\0", 20), 1, {0}},
      {"a missing file", std::wstring(L"\\??\\C:\\nothere.dll\0\0\0", 21), 1, {0}},
      {"part of the prefix", std::wstring(L"\\??C:\\a.dll\0\0\0", 14), 1, {0}},
      {"no prefix", std::wstring(L"C:\\a.dll\0\0\0", 11), 1, {1}},
      {"one string", std::wstring(L"\\??\\C:\\a.dll\0\0", 14), 0, {}},
      {"empty", std::wstring(), 0, {}},
  };
  for (const auto& c : cases) {
    SetQueue(Wide(c.value));
    PendingRenameTable table = LoadPendingRenameTable();
    EXPECT_EQ(table.count, c.count) << c.name;
    for (uint32_t pair = 0; pair < table.count && pair < c.source_flags.size(); ++pair) {
      EXPECT_EQ(table.flags[2 * pair], c.source_flags[pair]) << c.name;
    }
    FreePendingRenameTable(table);
  }
}

// The system carries out its queue on full paths only: a relative entry
// would name a file of the program's current directory.
TEST_F(PendingRenamesTest, RelativeEntriesNameNoFile) {
  sim.fs.current_directory = L"C:\\Users\\Me";
  sim.fs.Put(L"C:\\Users\\Me\\kvnmon64.dll", "mine");
  const struct {
    std::wstring source;
    uint32_t flag;
  } cases[] = {
      {L"kvnmon64.dll", 0},
      {L"\\??\\kvnmon64.dll", 0},
      {L"C:kvnmon64.dll", 0},
      {L"\\kvnmon64.dll", 0},
      {L"C:\\Users\\Me\\kvnmon64.dll", 1},
      {L"\\??\\C:/Users/Me/kvnmon64.dll", 1},
  };
  for (const auto& c : cases) {
    SetQueue(Wide(c.source + L'\0' + L'\0' + L'\0'));
    PendingRenameTable table = LoadPendingRenameTable();
    ASSERT_EQ(table.count, 1u);
    EXPECT_EQ(table.flags[0], c.flag) << testing_support::Utf8(c.source);
    if (c.flag == 0) {
      PurgePendingRenameDeletes(table);
      EXPECT_TRUE(sim.fs.Exists(L"C:\\Users\\Me\\kvnmon64.dll")) << testing_support::Utf8(c.source);
    }
    FreePendingRenameTable(table);
  }
}

TEST_F(PendingRenamesTest, ParsingNeverReadsPastTheData) {
  sim.fs.Put(L"C:\\a.dll");
  const std::string pair = Wide(std::wstring(L"C:\\a.dll\0\0\0", 11));
  const struct {
    const char* name;
    std::string bytes;
    uint32_t count;
  } cases[] = {
      {"no final terminators", Wide(std::wstring(L"C:\\a.dll\0C:\\b", 13)), 1},
      {"no terminator at all", Wide(L"C:\\a.dll"), 0},
      {"an odd byte at the end", pair + std::string(1, 'x'), 1},
      {"one byte", std::string(1, 'x'), 0},
      {"two bytes", std::string(2, '\0'), 0},
      {"three bytes", std::string(3, 'x'), 0},
  };
  for (const auto& c : cases) {
    SetQueue(c.bytes);
    PendingRenameTable table = LoadPendingRenameTable();
    EXPECT_EQ(table.count, c.count) << c.name;
    if (table.count == 1) {
      EXPECT_STREQ(table.names[0], L"C:\\a.dll") << c.name;
    }
    FreePendingRenameTable(table);
  }
}

TEST_F(PendingRenamesTest, AValueThatChangesSizeBetweenTheTwoReadsIsReadAsFarAsItGoes) {
  const std::string original = Wide(std::wstring(L"C:\\a.dll\0\0C:\\b.dll\0\0\0", 21));
  // Grown: the second read does not fit, and the table is empty.
  SetQueue(original);
  sim.before_call["RegQueryValueExW"] = [&](int number) {
    if (number == 2) {
      SetQueue(original + original);
    }
  };
  PendingRenameTable table = LoadPendingRenameTable();
  EXPECT_EQ(table.count, 0u);
  FreePendingRenameTable(table);
  // Shrunk to a single pair: only that pair is read.
  SetQueue(original);
  sim.before_call["RegQueryValueExW"] = [&](int number) {
    if (number == 4) {
      SetQueue(Wide(std::wstring(L"C:\\a.dll\0\0\0", 11)));
    }
  };
  table = LoadPendingRenameTable();
  EXPECT_EQ(table.count, 1u);
  FreePendingRenameTable(table);
}

TEST_F(PendingRenamesTest, NoKeyOrNoValueIsAnEmptyQueue) {
  PendingRenameTable table = LoadPendingRenameTable();
  EXPECT_EQ(table.count, 0u);
  EXPECT_EQ(table.names, nullptr);
  sim.registry.Key(sim::kSessionManagerKey).open_error = ERROR_ACCESS_DENIED;
  table = LoadPendingRenameTable();
  EXPECT_EQ(table.count, 0u);
  PurgePendingRenameDeletes(table);  // nothing to do
  FreePendingRenameTable(table);
}

}  // namespace
}  // namespace services
