#include "print/printers.h"

#include <string>
#include <vector>

#include "print/spooler_queries.h"
#include "session/install_session.h"
#include "support/scenario.h"
#include "support/session_test.h"

namespace print {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing_support::AddPrinter;

constexpr wchar_t kSettingsKey[] =
    L"HKCU\\Software\\Korvane Software KFT\\Lumenquill\\Lumenquills\\";

class PrintersTest : public testing_support::SessionTest {
 protected:
  void SetUp() override {
    testing_support::InstallProductMonitor(sim);
    testing_support::InstallProductDriver(sim);
    testing_support::InstallOtherDriver(sim, L"Other");
  }
  // What a reinstall does with the printers, without the rest of it.
  void RemoveAndRestore() {
    DeleteAllPrinters(session);
    RestorePrinters(session);
  }
  std::vector<std::wstring> PrinterNames() const {
    std::vector<std::wstring> names;
    for (const auto& printer : sim.spooler.printers) {
      names.push_back(printer.name);
    }
    return names;
  }
  void MarkDeleted(const std::wstring& subkey) {
    sim.registry.Set(kSettingsKey + subkey, L"deleted", sim::RegValue{REG_DWORD, "\1\0\0\0"});
  }
};

TEST_F(PrintersTest, WithoutProductPrintersTheReinstallCreatesTheFallbackPrinter) {
  AddPrinter(sim, L"Office", L"Other", L"LPT1:");
  AddPrinter(sim, L"Case", L"lumenquill printer", L"LPT1:");
  StartSession();
  DeleteAllPrinters(session);
  EXPECT_EQ(Log(), L">DeleteAllPrinters\r\n");
  RestorePrinters(session);
  EXPECT_THAT(PrinterNames(), ElementsAre(L"Office", L"Case", L"Lumenquill"));
  const sim::Printer* created = sim.spooler.FindPrinter(L"Lumenquill");
  EXPECT_EQ(created->port, L"Lumenquill:");
  EXPECT_EQ(created->driver, L"Lumenquill printer");
  EXPECT_EQ(created->print_processor, L"WinPrint");
  EXPECT_EQ(created->comment, L"");
  EXPECT_EQ(Log(),
            L">DeleteAllPrinters\r\n"
            L">AddPrinter(Lumenquill)\r\n"
            L"  Let's check our port monitors\r\n"
            L"  Port monitor is found\r\n"
            L"  OK :)\r\n");
}

TEST_F(PrintersTest, ProductPrintersAreDeletedInSnapshotOrderAndComeBackInReverse) {
  AddPrinter(sim, L"A", L"Lumenquill printer", L"Lumenquill:", "a-settings");
  AddPrinter(sim, L"Other", L"Other", L"LPT1:");
  AddPrinter(sim, L"B", L"Lumenquill printer", L"Lumenquill:", "b-settings");
  StartSession();
  DeleteAllPrinters(session);
  EXPECT_EQ(Log(),
            L">DeleteAllPrinters\r\n"
            L"  >DeletePrinter(A)\r\n"
            L"    OK\r\n"
            L"  >DeletePrinter(B)\r\n"
            L"    OK\r\n");
  EXPECT_THAT(PrinterNames(), ElementsAre(L"Other"));
  RestorePrinters(session);
  EXPECT_THAT(PrinterNames(), ElementsAre(L"Other", L"B", L"A"));
  EXPECT_EQ(session.ErrorCount, 0);
}

TEST_F(PrintersTest, ARecreatedPrinterGetsItsBindingCommentLocationAndDefaultBack) {
  sim::Printer& old = AddPrinter(sim, L"Mine", L"Lumenquill printer", L"Lumenquill:", "u1\\p7");
  old.comment = L"on the desk";
  old.location = L"room 4";
  old.share = L"shared";
  AddPrinter(sim, L"Second", L"Lumenquill printer", L"Lumenquill:", "u1\\p8");
  sim.spooler.default_printer = L"Mine";
  MarkDeleted(L"u1\\p7");
  MarkDeleted(L"u1\\p8");
  StartSession();
  sim.spooler.default_printer = L"Elsewhere";  // changed during the run
  RemoveAndRestore();
  const sim::Printer* mine = sim.spooler.FindPrinter(L"Mine");
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(mine->comment, L"on the desk");
  EXPECT_EQ(mine->location, L"room 4");
  EXPECT_EQ(mine->share, L"") << "nothing else is carried over";
  EXPECT_EQ(mine->port, L"Lumenquill:");
  EXPECT_EQ(mine->print_processor, L"WinPrint");
  for (const wchar_t* key : {L"PrinterDriverData", L"DsUser"}) {
    const sim::RegValue* subkey = mine->Data(key, L"SubKey");
    ASSERT_NE(subkey, nullptr) << sim::Narrow(key);
    EXPECT_EQ(subkey->type, DWORD{REG_SZ});
  }
  EXPECT_EQ(sim.spooler.default_printer, L"Mine");
  EXPECT_EQ(sim.registry.Get(std::wstring(kSettingsKey) + L"u1\\p7", L"deleted"), nullptr);
  EXPECT_EQ(sim.registry.Get(std::wstring(kSettingsKey) + L"u1\\p8", L"deleted"), nullptr);
  EXPECT_EQ(sim.spooler.FindPrinter(L"Second")->comment, L"");
}

TEST_F(PrintersTest, ABindingReadBackEmptyOrAbsentIsNotRecreated) {
  const struct {
    const char* name;
    std::function<void(sim::Printer&)> arrange;
    bool recreated;
  } cases[] = {
      {"no SubKey", [](sim::Printer&) {}, false},
      {"63 characters",
       [](sim::Printer& p) {
         p.SetData(L"PrinterDriverData", L"SubKey", sim::WideValue(std::wstring(63, L'k')));
       },
       true},
      {"64 characters",
       [](sim::Printer& p) {
         p.SetData(L"PrinterDriverData", L"SubKey", sim::WideValue(std::wstring(64, L'k')));
       },
       false},
      {"not a string",
       [](sim::Printer& p) {
         p.SetData(L"PrinterDriverData", L"SubKey", sim::RegValue{REG_BINARY, "abc"});
       },
       false},
      {"only under DsUser",
       [](sim::Printer& p) { p.SetData(L"DsUser", L"SubKey", sim::WideValue(L"from-ds-user")); },
       true},
      {"without its terminator",
       [](sim::Printer& p) {
         p.SetData(L"PrinterDriverData", L"SubKey",
                   sim::RegValue{REG_SZ, std::string("a\0b\0c\0d\0", 8)});
       },
       false},
  };
  for (const auto& c : cases) {
    sim::SimWindows model;
    platform::SystemScope scope(model);
    testing_support::InstallProductMonitor(model);
    testing_support::InstallProductDriver(model);
    c.arrange(AddPrinter(model, L"Only", L"Lumenquill printer", L"Lumenquill:"));
    session::InstallSession local;
    session::InitSession(local, session::ModeX64);
    DeleteAllPrinters(local);
    RestorePrinters(local);
    std::vector<std::wstring> names;
    for (const auto& printer : model.spooler.printers) {
      names.push_back(printer.name);
    }
    EXPECT_THAT(names, ElementsAre(c.recreated ? L"Only" : L"Lumenquill")) << c.name;
    EXPECT_EQ(local.ErrorCount, 0) << c.name;
    session::FreeSession(local);
    EXPECT_THAT(model.Leaks(), ::testing::IsEmpty()) << c.name;
  }
}

TEST_F(PrintersTest, PrintersThatCannotBeOpenedDeletedOrAddedAreNumberedErrors) {
  AddPrinter(sim, L"A", L"Lumenquill printer", L"Lumenquill:", "a");
  AddPrinter(sim, L"B", L"Lumenquill printer", L"Lumenquill:", "b");
  StartSession();
  sim.FailCall("OpenPrinterW", 2, ERROR_ACCESS_DENIED);   // A's opening for deletion
  sim.FailCall("DeletePrinter", 1, ERROR_ACCESS_DENIED);  // B's deletion
  DeleteAllPrinters(session);
  EXPECT_THAT(Log(),
              HasSubstr(L"  >DeletePrinter(A)\r\n"
                        L"    Error(16): Can`t open printer 'A' - (Access is denied.)\r\n"
                        L"  >DeletePrinter(B)\r\n"
                        L"    Error(17): Can`t delete printer 'B' - (Access is denied.)\r\n"));
  EXPECT_THAT(PrinterNames(), ElementsAre(L"A", L"B"));
  EXPECT_EQ(session.ErrorCount, 2);

  sim.spooler.printers.clear();
  session::Release(session.SessionLog);
  sim.FailCall("AddPrinterW", 1, ERROR_UNKNOWN_PRINTER_DRIVER, 3);
  RestorePrinters(session);
  EXPECT_THAT(Log(), HasSubstr(L"Error(15): Can`t add printer 'B'"));
  EXPECT_THAT(Log(), HasSubstr(L"Error(15): Can`t add printer 'A'"));
  EXPECT_THAT(Log(), HasSubstr(L"Error(15): Can`t add printer 'Lumenquill'"));
  EXPECT_EQ(session.ErrorCount, 5);
  EXPECT_THAT(PrinterNames(), ::testing::IsEmpty());
}

// Deleting a printer whose binding is unknown would lose it for good: a
// reinstall keeps it; an uninstall, which removes it anyway, does not care.
TEST_F(PrintersTest, AReinstallKeepsAPrinterWhoseBindingItCannotLearn) {
  const struct {
    const char* name;
    bool ds_user_copy;
    std::function<void(sim::SimWindows&)> fault;
    bool reinstall;
    bool kept;
    const wchar_t* line;
    int errors;
  } cases[] = {
      {"the printer cannot be opened", false,
       [](sim::SimWindows& m) { m.FailCall("OpenPrinterW", 1, ERROR_ACCESS_DENIED); }, true, true,
       L"  Error(16): Can`t open printer 'A' - (Access is denied.)\r\n", 1},
      {"the read fails", false,
       [](sim::SimWindows& m) { m.FailCall("GetPrinterDataA", 1, RPC_S_SERVER_UNAVAILABLE); }, true,
       true, L"  Can't read the settings of printer A, it is kept\r\n", 0},
      {"the read under DsUser fails", false,
       [](sim::SimWindows& m) {
         m.FailCall("GetPrinterDataA", 1, ERROR_FILE_NOT_FOUND);
         m.FailCall("GetPrinterDataExA", 1, ERROR_INVALID_HANDLE);
       },
       true, true, L"  Can't read the settings of printer A, it is kept\r\n", 0},
      {"no memory for the node", false,
       [](sim::SimWindows& m) { m.FailAllocation(1, 1, sim::Block::kGlobal); }, true, true,
       L"  Can't read the settings of printer A, it is kept\r\n", 0},
      {"the read fails but DsUser holds the binding", true,
       [](sim::SimWindows& m) { m.FailCall("GetPrinterDataA", 1, RPC_S_SERVER_UNAVAILABLE); }, true,
       false, L"  >DeletePrinter(A)\r\n    OK\r\n", 0},
      {"an uninstall deletes it all the same", false,
       [](sim::SimWindows& m) { m.FailCall("OpenPrinterW", 1, ERROR_ACCESS_DENIED); }, false, false,
       L"  >DeletePrinter(A)\r\n    OK\r\n", 0},
  };
  for (const auto& c : cases) {
    sim::SimWindows model;
    platform::SystemScope scope(model);
    testing_support::InstallProductMonitor(model);
    testing_support::InstallProductDriver(model);
    sim::Printer& printer = AddPrinter(model, L"A", L"Lumenquill printer", L"Lumenquill:", "a");
    if (c.ds_user_copy) {
      printer.SetData(L"DsUser", L"SubKey", sim::WideValue(L"a"));
    }
    session::InstallSession local;
    session::InitSession(local, session::ModeX64);
    local.CheckMonitorVersion = c.reinstall ? 1 : 0;
    c.fault(model);
    DeleteAllPrinters(local);
    EXPECT_EQ(model.spooler.FindPrinter(L"A") != nullptr, c.kept) << c.name;
    EXPECT_THAT(session::Text(local.SessionLog), HasSubstr(c.line)) << c.name;
    EXPECT_EQ(local.ErrorCount, c.errors) << c.name;
    session::FreeSession(local);
    EXPECT_THAT(model.Leaks(), ::testing::IsEmpty()) << c.name;
  }
}

TEST_F(PrintersTest, APrinterIsAddedEvenWithoutItsPortMonitor) {
  sim.spooler.monitors.clear();
  StartSession();
  HANDLE printer = print::AddPrinter(session, L"Lonely");
  EXPECT_EQ(printer, nullptr) << "the spooler does not know the port";
  EXPECT_EQ(Log(),
            L">AddPrinter(Lonely)\r\n"
            L"  Let's check our port monitors\r\n"
            L"  1. EnumMonitors returns true\r\n"
            L"  No Lumenquill port monitor was found.\r\n"
            L"  BTW, there is no port monitors on this system.\r\n"
            L"  Error(15): Can`t add printer 'Lonely' - (The specified port is unknown.)\r\n");
  EXPECT_EQ(sim.Count("AddPrinterW"), 1);
}

TEST_F(PrintersTest, ClearingTheDeletedMarkOpensTheSettingsKeyBelowTheBase) {
  MarkDeleted(L"x");
  EXPECT_TRUE(ClearDeletedMark("Lumenquills\\x"));
  EXPECT_FALSE(ClearDeletedMark("Lumenquills\\x")) << "already gone";
  EXPECT_FALSE(ClearDeletedMark("Lumenquills\\no such key"));
  EXPECT_FALSE(ClearDeletedMark(std::string(600, 'k').c_str())) << "a path too long is not cut";
}

}  // namespace
}  // namespace print
