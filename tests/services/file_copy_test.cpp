#include "services/file_copy.h"

#include <string>

#include "session/install_session.h"
#include "support/scenario.h"
#include "support/session_test.h"

namespace services {
namespace {

constexpr wchar_t kTarget[] = L"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\";

class FileCopyTest : public testing_support::SessionTest {
 protected:
  void SetUp() override {
    session::Assign(session.InstallerDirectory, L"C:\\Setup\\x64\\");
    sim.fs.MakeDirectory(L"C:\\Setup\\x64");
    sim.fs.MakeDirectory(L"C:\\Dir");
  }
  sim::File& Source(const std::string& bytes) {
    return sim.fs.Put(L"C:\\Setup\\x64\\a.dll", bytes);
  }
  std::string TargetBytes() { return sim.fs.Find(std::wstring(kTarget) + L"a.dll")->bytes; }
};

TEST_F(FileCopyTest, CopiesInChunksOf8192BytesUntilAShortRead) {
  const struct {
    size_t size;
    int reads;
  } cases[] = {{16384, 3}, {0, 1}, {8193, 2}, {100, 1}};
  for (const auto& c : cases) {
    std::string bytes(c.size, '\0');
    for (size_t i = 0; i < c.size; ++i) {
      bytes[i] = static_cast<char>(i * 7);
    }
    Source(bytes);
    int reads = sim.Count("ReadFile");
    EXPECT_EQ(CopyFile(session, kTarget, L"a.dll", nullptr, 0, 1), S_OK) << c.size;
    EXPECT_EQ(TargetBytes(), bytes) << c.size;
    EXPECT_EQ(sim.Count("ReadFile") - reads, c.reads) << c.size;
  }
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(FileCopyTest, TheLogShowsTheFileTheDirectoryAndTheFlag) {
  Source("x");
  session.Depth = 1;
  CopyFile(session, L"C:\\Dir\\", L"a.dll", nullptr, 0, 1);
  EXPECT_EQ(Log(), L"  >CopyFile a.dll to C:\\Dir\\ [1])\r\n    Copy Succeeded :)\r\n");
  EXPECT_EQ(session.Depth, 1);
}

TEST_F(FileCopyTest, TheTargetPathGetsOneBackslashAndIsHandedBackBeforeAnythingOpens) {
  const struct {
    const wchar_t* directory;
    const wchar_t* path;
  } cases[] = {{L"C:\\Dir", L"C:\\Dir\\a.dll"}, {L"C:\\Dir\\", L"C:\\Dir\\a.dll"}, {L"", L"a.dll"}};
  for (const auto& c : cases) {
    wchar_t target[64] = L"junk";
    EXPECT_EQ(CopyFile(session, c.directory, L"a.dll", target, 64, 0), E_FAIL) << "no source";
    EXPECT_STREQ(target, c.path);
  }
  EXPECT_EQ(session.ErrorCount, 0) << "a silent attempt counts nothing";
}

TEST_F(FileCopyTest, AMissingSourceIsErrorTenWithTheBareFileNameOnlyWhenReported) {
  CopyFile(session, kTarget, L"a.dll", nullptr, 0, 0);
  EXPECT_EQ(Log(),
            L">CopyFile a.dll to C:\\Windows\\system32\\spool\\DRIVERS\\x64\\ [0])\r\n"
            L"  Copy Failed :(\r\n");
  session::Release(session.SessionLog);
  CopyFile(session, kTarget, L"a.dll", nullptr, 0, 1);
  EXPECT_EQ(Log(),
            L">CopyFile a.dll to C:\\Windows\\system32\\spool\\DRIVERS\\x64\\ [1])\r\n"
            L"  Error(10): Cant't open source file: a.dll - (The system cannot find the file "
            L"specified.)\r\n"
            L"  Copy Failed :(\r\n");
  EXPECT_EQ(session.ErrorCount, 1);
}

TEST_F(FileCopyTest, ALockedTargetIsTriedAHundredTimes50MsApart) {
  Source("new");
  sim.fs.Put(std::wstring(kTarget) + L"a.dll", "old").image_locks.insert("spooler");
  EXPECT_EQ(CopyFile(session, kTarget, L"a.dll", nullptr, 0, 1), E_FAIL);
  EXPECT_EQ(sim.Count("CreateFileW"), 1 + 100);
  EXPECT_EQ(sim.clock.now, 5000u);
  EXPECT_EQ(TargetBytes(), "old");
  EXPECT_EQ(Log(),
            L">CopyFile a.dll to C:\\Windows\\system32\\spool\\DRIVERS\\x64\\ [1])\r\n"
            L"  Error(9): Cant't open destination file: "
            L"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\a.dll - (The process cannot access the "
            L"file because it is being used by another process.)\r\n"
            L"  Copy Failed :(\r\n");
}

TEST_F(FileCopyTest, SlowOpensEndTheRetriesAfterTenSecondsAcrossATickWrap) {
  Source("new");
  sim.fs.Put(std::wstring(kTarget) + L"a.dll").image_locks.insert("spooler");
  sim.clock.tick_base = 0xFFFFF000u;  // wraps during the retries
  sim.call_durations["CreateFileW"] = 200;
  EXPECT_EQ(CopyFile(session, kTarget, L"a.dll", nullptr, 0, 0), E_FAIL);
  // 41 attempts of 200 ms with 40 pauses between: 10200 ms > 10000 ms.
  EXPECT_EQ(sim.Count("CreateFileW"), 1 + 41);
  EXPECT_NE(Log().find(L"  CreateFile - timeout\r\n"), std::wstring::npos);
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(FileCopyTest, AFailedReadOrAShortWriteFailsTheCopy) {
  const struct {
    const char* name;
    std::function<void(sim::SimWindows&)> arrange;
    const wchar_t* system_text;
  } cases[] = {
      {"read fails",
       [](sim::SimWindows& s) { s.fs.Find(L"C:\\Setup\\x64\\a.dll")->read_limit = 8192; },
       L"The system cannot read from the specified device."},
      {"disk full",
       [](sim::SimWindows& s) { s.fs.Put(std::wstring(kTarget) + L"a.dll").write_limit = 10000; },
       L"There is not enough space on the disk."},
  };
  for (const auto& c : cases) {
    for (uint8_t report : {0, 1}) {
      session::Release(session.SessionLog);
      session.ErrorCount = 0;
      Source(std::string(20000, 'z'));
      sim.fs.Remove(std::wstring(kTarget) + L"a.dll");
      c.arrange(sim);
      EXPECT_EQ(CopyFile(session, kTarget, L"a.dll", nullptr, 0, report), E_FAIL) << c.name;
      std::wstring expected = L">CopyFile a.dll to C:\\Windows\\system32\\spool\\DRIVERS\\x64\\ [" +
                              std::to_wstring(report) + L"])\r\n";
      if (report != 0) {
        expected +=
            L"  Error(8): CopyFile(..,C:\\Windows\\system32\\spool\\DRIVERS\\x64\\a.dll) - (" +
            std::wstring(c.system_text) + L")\r\n";
      }
      expected += L"  Copy Failed :(\r\n";
      EXPECT_EQ(Log(), expected) << c.name;
      EXPECT_EQ(session.ErrorCount, report) << c.name;
    }
  }
}

// A source or target named by a bare file name would be a file of the
// current directory, which may be anyone's.
TEST_F(FileCopyTest, NoFileIsOpenedByABareNameForWantOfADirectoryOrOfMemory) {
  sim.fs.current_directory = L"C:\\Dir";
  sim.fs.Put(L"C:\\Dir\\a.dll", "the current directory's");
  Source("x");
  auto full_paths_only = [&] {
    for (const std::string& call : sim.CallsNamed({"CreateFileW"})) {
      EXPECT_EQ(call.substr(12, 3), "C:\\") << call;
    }
  };
  session::Release(session.InstallerDirectory);
  EXPECT_EQ(CopyFile(session, kTarget, L"a.dll", nullptr, 0, 1), E_FAIL);
  EXPECT_THAT(Log(), ::testing::HasSubstr(L"Error(10): Cant't open source file: a.dll - (The "
                                          L"system cannot find the path specified.)"));
  full_paths_only();

  session::Assign(session.InstallerDirectory, L"C:\\Setup\\x64\\");
  for (int nth = 1; nth <= 12; ++nth) {
    sim.calls.clear();
    sim.FailAllocation(nth, 1, sim::Block::kHeap);
    CopyFile(session, kTarget, L"a.dll", nullptr, 0, 1);
    full_paths_only();
  }
  const sim::File* theirs = sim.fs.Find(L"C:\\Dir\\a.dll");
  ASSERT_NE(theirs, nullptr);
  EXPECT_EQ(theirs->bytes, "the current directory's");
}

TEST_F(FileCopyTest, ATargetPathThatDoesNotFitTheCallersBufferIsNotUsed) {
  Source("x");
  wchar_t target[16] = L"junk";
  EXPECT_EQ(CopyFile(session, L"C:\\A rather long directory", L"a.dll", target, 16, 1), E_FAIL);
  EXPECT_STREQ(target, L"");
  EXPECT_EQ(sim.Count("CreateFileW"), 0);
  EXPECT_EQ(session.ErrorCount, 1);
}

}  // namespace
}  // namespace services
