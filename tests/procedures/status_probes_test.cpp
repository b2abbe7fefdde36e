#include "procedures/status_probes.h"

#include <string>

#include "support/scenario.h"
#include "support/sim_test.h"

namespace procedures {
namespace {

using testing_support::AddPrinter;
using testing_support::Build;
using testing_support::SimTest;

class StatusProbesTest : public SimTest {
 protected:
  void Queue(const std::vector<std::wstring>& strings) {
    sim.registry.Set(sim::kSessionManagerKey, sim::kPendingRenamesValue, sim::MultiString(strings));
  }
  int SpoolerStops() const { return sim.Count("ControlService"); }
};

TEST_F(StatusProbesTest, PendingProductFilesAreFoundByFileNameInBothPasses) {
  sim.fs.MakeDirectory(L"C:\\Some\\Where");
  const struct {
    const char* name;
    std::vector<std::wstring> queue;
    std::vector<const wchar_t*> files;  // existing; a locked one survives the purge
    bool pending;
    int stops;
  } cases[] = {
      {"an empty queue", {}, {}, false, 0},
      {"a deletable queued deletion",
       {L"\\??\\C:\\Some\\Where\\kvnmon64.dll", L""},
       {L"C:\\Some\\Where\\kvnmon64.dll"},
       false,
       0},
      {"a rename of a UI DLL in capitals",
       {L"\\??\\C:\\Some\\Where\\KVNUI64.DLL", L"\\??\\C:\\x.dll"},
       {L"C:\\Some\\Where\\KVNUI64.DLL"},
       true,
       2},
      {"a single rename of the monitor",
       {L"\\??\\C:\\Some\\Where\\kvnmon64.dll", L"!\\??\\C:\\y"},
       {L"C:\\Some\\Where\\kvnmon64.dll"},
       true,
       2},
      {"a 32-bit DLL",
       {L"\\??\\C:\\Some\\Where\\kvnmon32.dll", L"\\??\\C:\\y"},
       {L"C:\\Some\\Where\\kvnmon32.dll"},
       false,
       0},
      {"a source that is gone",
       {L"\\??\\C:\\Some\\Where\\kvndrv64.dll", L"\\??\\C:\\y"},
       {},
       false,
       0},
      {"only the target matches",
       {L"\\??\\C:\\Some\\Where\\other.dll", L"\\??\\C:\\kvndrv64.dll"},
       {L"C:\\Some\\Where\\other.dll"},
       false,
       0},
  };
  for (const auto& c : cases) {
    sim::SimWindows model;
    platform::SystemScope scope(model);
    for (const wchar_t* file : c.files) {
      model.fs.Put(file);
    }
    if (!c.queue.empty()) {
      model.registry.Set(sim::kSessionManagerKey, sim::kPendingRenamesValue,
                         sim::MultiString(c.queue));
    }
    EXPECT_EQ(CheckPendingFiles(), c.pending) << c.name;
    EXPECT_EQ(model.Count("ControlService"), c.stops) << c.name;
    EXPECT_EQ(model.spooler_service.state, DWORD{SERVICE_RUNNING}) << c.name;
    EXPECT_THAT(model.Leaks(), ::testing::IsEmpty()) << c.name;
  }
}

TEST_F(StatusProbesTest, ADllThatTheRestartReleasesIsFoundOnlyOnce) {
  sim.fs.MakeDirectory(L"C:\\Queue");
  sim.fs.Put(L"C:\\Queue\\kvndrv64.dll").image_locks.insert("spooler");
  Queue({L"\\??\\C:\\Queue\\kvndrv64.dll", L""});
  EXPECT_FALSE(CheckPendingFiles());
  EXPECT_EQ(SpoolerStops(), 1) << "the restart let go of it and the second purge deleted it";
  EXPECT_FALSE(sim.fs.Exists(L"C:\\Queue\\kvndrv64.dll"));
}

TEST_F(StatusProbesTest, TheDefaultPrinterIsOursOnlyWhenItUsesTheProductDriver) {
  testing_support::InstallProductDriver(sim);
  testing_support::InstallOtherDriver(sim, L"Other");
  AddPrinter(sim, L"Ours", L"Lumenquill printer", L"FILE:");
  AddPrinter(sim, L"Theirs", L"Other", L"FILE:");
  const struct {
    const wchar_t* default_printer;
    bool answer;
  } cases[] = {{L"", true}, {L"Ours", false}, {L"Theirs", true}};
  for (const auto& c : cases) {
    sim.spooler.default_printer = c.default_printer;
    EXPECT_EQ(CheckDefaultPrinter(), c.answer) << sim::Narrow(c.default_printer);
  }
  sim.spooler.default_printer = L"Ours";
  sim.FailCall("OpenPrinterW", 1, ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CheckDefaultPrinter()) << "a printer that cannot be opened";
  sim.FailCall("GetPrinterW", 1, ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CheckDefaultPrinter()) << "a printer that cannot be read";
  sim.spooler.default_printer = std::wstring(300, L'n');
  EXPECT_TRUE(CheckDefaultPrinter()) << "a name longer than the buffer";
}

TEST_F(StatusProbesTest, TheDriverVersionOfTheFirstProductPrinterDecides) {
  const struct {
    WORD build;  // 0: no version resource
    bool with_printer;
    bool answer;
  } cases[] = {{2451, true, true}, {2450, true, false}, {0, true, false}, {2542, false, false}};
  for (const auto& c : cases) {
    sim::SimWindows model;
    platform::SystemScope scope(model);
    testing_support::InstallProductDriver(model, c.build);
    if (c.build == 0) {
      model.fs.Find(L"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\kvndrv64.dll")
          ->version.reset();
    }
    if (c.with_printer) {
      AddPrinter(model, L"Ours", L"Lumenquill printer", L"FILE:");
    }
    EXPECT_EQ(CheckDriverVersion(), c.answer) << c.build;
    EXPECT_THAT(model.Leaks(), ::testing::IsEmpty());
  }
}

TEST_F(StatusProbesTest, OnlyTheFirstProductPrinterIsExaminedAndMadeDefault) {
  testing_support::InstallProductDriver(sim, 2542);
  testing_support::InstallOtherDriver(sim, L"Other");
  AddPrinter(sim, L"Theirs", L"Other", L"FILE:");
  AddPrinter(sim, L"First", L"Lumenquill printer", L"FILE:");
  AddPrinter(sim, L"Second", L"Lumenquill printer", L"FILE:");
  sim.spooler.default_printer = L"Theirs";
  SelectDefaultPrinter();
  EXPECT_EQ(sim.spooler.default_printer, L"First");
  sim.FailCall("OpenPrinterW", 1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(CheckDriverVersion()) << "the first cannot be opened; the second is not tried";
  EXPECT_EQ(sim.Count("OpenPrinterW"), 1);
}

TEST_F(StatusProbesTest, WithoutAProductPrinterTheDefaultStays) {
  testing_support::InstallOtherDriver(sim, L"Other");
  AddPrinter(sim, L"Theirs", L"Other", L"FILE:");
  sim.spooler.default_printer = L"Theirs";
  SelectDefaultPrinter();
  EXPECT_EQ(sim.spooler.default_printer, L"Theirs");
  EXPECT_EQ(sim.Count("SetDefaultPrinterW"), 0);
}

}  // namespace
}  // namespace procedures
