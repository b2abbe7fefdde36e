#include "services/pending_deletes.h"

#include <string>
#include <vector>

#include "session/install_session.h"
#include "support/session_test.h"

namespace services {
namespace {

using ::testing::ElementsAre;

class PendingDeletesTest : public testing_support::SessionTest {
 protected:
  std::vector<std::wstring> Paths() const {
    std::vector<std::wstring> paths;
    for (PendingDeleteNode* node = session.PendingDeletes; node != nullptr; node = node->next) {
      paths.emplace_back(node->path);
    }
    return paths;
  }
};

TEST_F(PendingDeletesTest, AnEqualPathIsKeptOnceWhileAnotherLetterCaseIsAnotherPath) {
  AddPendingDelete(session.PendingDeletes, L"C:\\x\\a.dll");
  AddPendingDelete(session.PendingDeletes, L"C:\\x\\a.dll");
  AddPendingDelete(session.PendingDeletes, L"C:\\X\\A.DLL");
  EXPECT_THAT(Paths(), ElementsAre(L"C:\\X\\A.DLL", L"C:\\x\\a.dll"));
}

TEST_F(PendingDeletesTest, WithoutMemoryThePathIsNotRemembered) {
  sim.FailAllocation(2);  // the node is made, its path copy fails
  AddPendingDelete(session.PendingDeletes, L"C:\\x\\a.dll");
  EXPECT_THAT(Paths(), ::testing::IsEmpty());
}

TEST_F(PendingDeletesTest, FilesThatCannotBeDeletedAreRetriedAndGoneOnesDropped) {
  sim.fs.Put(L"C:\\dir\\busy.dll").image_locks.insert("spooler");
  sim.fs.Put(L"C:\\gone\\x.dll");
  DeleteOrDefer(session, L"C:\\dir\\busy.dll");     // in use
  DeleteOrDefer(session, L"C:\\dir\\missing.dll");  // added all the same
  DeleteOrDefer(session, L"C:\\gone\\x.dll");       // deleted now
  DeleteOrDefer(session, L"");                      // never remembered
  EXPECT_THAT(Paths(), ElementsAre(L"C:\\dir\\missing.dll", L"C:\\dir\\busy.dll"));
  AddPendingDelete(session.PendingDeletes, L"C:\\vanished\\y.dll");
  sim.fs.directories.erase(L"C:\\GONE");

  session.Depth = 2;
  DeleteFileTry(session);
  EXPECT_EQ(std::wstring(session::Text(session.SessionLog)), L"    DeleteFile-try\r\n");
  EXPECT_THAT(Paths(), ElementsAre(L"C:\\vanished\\y.dll", L"C:\\dir\\busy.dll"))
      << "a missing directory and a file in use stay; a missing file goes";
  sim.fs.Find(L"C:\\dir\\busy.dll")->image_locks.clear();
  DeleteFileTry(session);
  EXPECT_THAT(Paths(), ElementsAre(L"C:\\vanished\\y.dll"));
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(PendingDeletesTest, TheNewestPathIsRetriedAndScheduledFirst) {
  for (const wchar_t* path : {L"C:\\A.dll", L"C:\\B.dll", L"C:\\C.dll"}) {
    sim.fs.Put(path).image_locks.insert("someone");
    DeleteOrDefer(session, path);
  }
  sim.calls.clear();
  DeleteFileTry(session);
  EXPECT_THAT(
      sim.CallsNamed({"DeleteFileW"}),
      ElementsAre("DeleteFileW(C:\\C.dll)", "DeleteFileW(C:\\B.dll)", "DeleteFileW(C:\\A.dll)"));
  EXPECT_EQ(ScheduleRebootDeletes(session), 3u);
  EXPECT_EQ(session.PendingDeletes, nullptr);
  const sim::RegValue* queue = sim.registry.Get(sim::kSessionManagerKey, sim::kPendingRenamesValue);
  ASSERT_NE(queue, nullptr);
  std::wstring text(reinterpret_cast<const wchar_t*>(queue->data.data()),
                    queue->data.size() / sizeof(wchar_t));
  EXPECT_EQ(text, std::wstring(L"\\??\\C:\\C.dll\0\0\\??\\C:\\B.dll\0\0\\??\\C:\\A.dll\0\0\0", 43));
}

TEST_F(PendingDeletesTest, OnlyAcceptedRegistrationsAreCountedAndTheListEmptiesAnyway) {
  AddPendingDelete(session.PendingDeletes, L"C:\\A.dll");
  AddPendingDelete(session.PendingDeletes, L"C:\\B.dll");
  sim.FailCall("MoveFileExW", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(ScheduleRebootDeletes(session), 1u);
  EXPECT_EQ(session.PendingDeletes, nullptr);
  EXPECT_EQ(ScheduleRebootDeletes(session), 0u) << "an empty list schedules nothing";
}

}  // namespace
}  // namespace services
