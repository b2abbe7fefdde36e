#include "print/spooler_queries.h"

#include <string>

#include "session/install_session.h"
#include "session/memory.h"
#include "support/scenario.h"
#include "support/session_test.h"

namespace print {
namespace {

using testing_support::AddPrinter;

class SpoolerQueriesTest : public testing_support::SessionTest {
 protected:
  void SetMonitors(std::initializer_list<const wchar_t*> names) {
    sim.spooler.monitors.clear();
    for (const wchar_t* name : names) {
      sim.spooler.monitors.push_back({name != nullptr ? name : L"", sim::kEnvX64, L"m.dll", {}});
    }
  }
};

TEST_F(SpoolerQueriesTest, MonitorsAreFetchedInTwoCallsAndTheProductOneFoundByItsExactName) {
  const struct {
    std::initializer_list<const wchar_t*> names;
    int index;
  } cases[] = {
      {{L"Local Port", L"Standard TCP/IP Port", L"Lumenquill:"}, 2},
      {{L"lumenquill:", L"LUMENQUILL:"}, -1},
      {{L"Lumenquill:2", L"Lumenquill"}, -1},
      {{L"Lumenquill:", L"Lumenquill:"}, 0},
  };
  for (const auto& c : cases) {
    SetMonitors(c.names);
    MonitorList list;
    EnumerateMonitors(list, session);
    EXPECT_EQ(list.level, 2u);
    EXPECT_EQ(list.count, c.names.size());
    EXPECT_EQ(FindProductMonitor(list), c.index);
    FreeList(list);
  }
  EXPECT_EQ(Log(), L"") << "a successful listing writes nothing";
}

TEST_F(SpoolerQueriesTest, MonitorEnumerationFailuresAreLoggedWithTheSystemsText) {
  const struct {
    const char* name;
    std::function<void(sim::SimWindows&)> arrange;
    const wchar_t* log;
    DWORD last_error;
  } cases[] = {
      {"nothing to list", [](sim::SimWindows& s) { s.spooler.monitors.clear(); },
       L"1. EnumMonitors returns true\r\n", 0},
      {"size query fails",
       [](sim::SimWindows& s) { s.FailCall("EnumMonitorsW", 1, RPC_S_SERVER_UNAVAILABLE); },
       L"2. EnumMonitors  failed with code: The RPC server is unavailable.\r\n\r\n",
       RPC_S_SERVER_UNAVAILABLE},
      {"no memory", [](sim::SimWindows& s) { s.FailAllocation(1); },
       L"3. EnumMonitors - can't allocate memory for buffer\r\n", 0x8007000E},
      {"fetch fails",
       [](sim::SimWindows& s) { s.FailCall("EnumMonitorsW", 2, ERROR_ACCESS_DENIED); },
       L"3. EnumMonitors  failed with code: Access is denied.\r\n\r\n", ERROR_ACCESS_DENIED},
      {"no text for the error", [](sim::SimWindows& s) { s.FailCall("EnumMonitorsW", 1, 3000); },
       L"2. EnumMonitors  failed with code: No Error or no description\r\n", 3000},
  };
  for (const auto& c : cases) {
    sim::SimWindows model;
    platform::SystemScope scope(model);
    model.messages.erase(3000);
    c.arrange(model);
    session::InstallSession local;
    MonitorList list;
    EnumerateMonitors(list, local);
    EXPECT_EQ(session::Text(local.SessionLog), std::wstring(c.log)) << c.name;
    EXPECT_EQ(list.entries, nullptr) << c.name;
    EXPECT_EQ(list.count, 0u) << c.name;
    EXPECT_EQ(FindProductMonitor(list), -1) << c.name;
    if (c.last_error != 0) {
      EXPECT_EQ(model.GetLastError(), c.last_error) << c.name;
    }
    session::Release(local.SessionLog);
    EXPECT_THAT(model.Leaks(), ::testing::IsEmpty()) << c.name;
  }
}

TEST_F(SpoolerQueriesTest, TheMonitorListingNamesEveryMonitorBetweenTwoRulers) {
  SetMonitors({L"Local Port", nullptr, L"Lumenquill:"});
  MonitorList list;
  EnumerateMonitors(list, session);
  reinterpret_cast<MONITOR_INFO_2W*>(list.entries)[1].pName = nullptr;
  LogMonitorList(session, list);
  EXPECT_EQ(Log(),
            L"------- 3 existing monitors ----------\r\n"
            L"1. Local Port\r\n"
            L"2. ***EMPTY***\r\n"
            L"3. Lumenquill:\r\n"
            L"---------------------------------------\r\n");
  FreeList(list);
}

TEST_F(SpoolerQueriesTest, TheDriverSearchReadsNamesAtTheOffsetOfItsLevel) {
  testing_support::InstallOtherDriver(sim, L"Other");
  testing_support::InstallProductDriver(sim);
  DriverList list;
  EnumerateDrivers(list, L"Windows x64");
  ASSERT_EQ(list.count, 2u);
  EXPECT_EQ(list.level, 6u);
  EXPECT_EQ(FindProductDriver(list), 1);
  for (uint32_t level : {0u, 7u}) {
    DriverList other = list;
    other.level = level;
    EXPECT_EQ(FindProductDriver(other), -1) << "level " << level;
  }
  // Level 1 records are a bare name pointer each.
  LPWSTR names[] = {const_cast<LPWSTR>(L"x"), const_cast<LPWSTR>(L"Lumenquill printer")};
  DriverList level_one{names, 1, 2};
  EXPECT_EQ(FindProductDriver(level_one), 1);
  level_one.count = 0;
  EXPECT_EQ(FindProductDriver(level_one), -1);
  FreeList(list);

  EnumerateDrivers(list, L"Windows NT x86");
  EXPECT_EQ(list.entries, nullptr) << "no driver for that environment";
  EXPECT_EQ(list.count, 0u);
}

TEST_F(SpoolerQueriesTest, TheSnapshotHas32ZeroBytesAfterTheSpoolersData) {
  testing_support::InstallOtherDriver(sim, L"Other");
  AddPrinter(sim, L"One", L"Other", L"FILE:");
  AddPrinter(sim, L"Two", L"Other", L"LPT1:");
  PrinterSnapshot snapshot;
  TakePrinterSnapshot(snapshot);
  ASSERT_EQ(snapshot.count, 2u);
  size_t size = sim.BlockSize(snapshot.entries);
  DWORD needed = 0, count = 0;
  sim.EnumPrintersW(6, nullptr, 2, nullptr, 0, &needed, &count);
  EXPECT_EQ(size, needed + 32u);
  const auto* bytes = static_cast<const unsigned char*>(snapshot.entries);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes) + needed, 32), std::string(32, '\0'));
  EXPECT_STREQ(snapshot.Records()[1].pPrinterName, L"Two");
  TakePrinterSnapshot(snapshot);  // a second snapshot frees the first
  EXPECT_EQ(snapshot.count, 2u);
  FreePrinterSnapshot(snapshot);
  EXPECT_EQ(snapshot.entries, nullptr);
  EXPECT_EQ(snapshot.count, 0u);
}

TEST_F(SpoolerQueriesTest, AFailedSnapshotHoldsNothing) {
  testing_support::InstallOtherDriver(sim, L"Other");
  const struct {
    const char* name;
    std::function<void(sim::SimWindows&)> arrange;
    DWORD last_error;
  } cases[] = {
      {"no printers", [](sim::SimWindows& s) { s.spooler.printers.clear(); }, 0},
      {"no memory", [](sim::SimWindows& s) { s.FailAllocation(1); }, 0x8007000E},
      {"fetch fails",
       [](sim::SimWindows& s) { s.FailCall("EnumPrintersW", 2, ERROR_ACCESS_DENIED); },
       ERROR_ACCESS_DENIED},
  };
  for (const auto& c : cases) {
    if (sim.spooler.printers.empty()) {
      AddPrinter(sim, L"One", L"Other", L"FILE:");
    }
    c.arrange(sim);
    PrinterSnapshot snapshot;
    TakePrinterSnapshot(snapshot);
    EXPECT_EQ(snapshot.entries, nullptr) << c.name;
    EXPECT_EQ(snapshot.count, 0u) << c.name;
    if (c.last_error != 0) {
      EXPECT_EQ(sim.GetLastError(), c.last_error) << c.name;
    }
  }
}

TEST_F(SpoolerQueriesTest, PrinterAndDriverInformationOfAnOpenPrinter) {
  testing_support::InstallProductDriver(sim);
  AddPrinter(sim, L"Mine", L"Lumenquill printer", L"FILE:");
  HANDLE printer = nullptr;
  ASSERT_TRUE(sim.OpenPrinterW(const_cast<LPWSTR>(L"Mine"), &printer, nullptr));
  PrinterInfoBlock info;
  QueryPrinterInfo(info, printer);
  ASSERT_NE(info.block, nullptr);
  EXPECT_EQ(info.size, sim.BlockSize(info.block));
  EXPECT_STREQ(static_cast<PRINTER_INFO_2W*>(info.block)->pDriverName, L"Lumenquill printer");
  FreeInfo(info);
  void* driver = QueryDriverInfo(printer);
  ASSERT_NE(driver, nullptr);
  EXPECT_STREQ(static_cast<DRIVER_INFO_2W*>(driver)->pDriverPath,
               L"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\kvndrv64.dll");
  session::FreeBlock(driver);

  int allocations = sim.allocations;
  sim.FailCall("GetPrinterDriverW", 1, ERROR_UNKNOWN_PRINTER_DRIVER);
  EXPECT_EQ(QueryDriverInfo(printer), nullptr);
  EXPECT_EQ(sim.allocations, allocations) << "nothing allocated for a failed size query";
  sim.FailCall("GetPrinterW", 2, ERROR_INVALID_HANDLE);
  QueryPrinterInfo(info, printer);
  EXPECT_EQ(info.block, nullptr);
  EXPECT_EQ(info.size, 0u);
  SpoolClosePrinter(printer);
}

TEST_F(SpoolerQueriesTest, DeletingAPrinterPurgesItsJobsFirstEvenWhenThePurgeFails) {
  testing_support::InstallOtherDriver(sim, L"Other");
  AddPrinter(sim, L"Busy", L"Other", L"FILE:").jobs = 3;
  AddPrinter(sim, L"Also busy", L"Other", L"FILE:").jobs = 2;
  PRINTER_DEFAULTSW access{nullptr, nullptr, 0x10004};
  HANDLE printer = nullptr;
  ASSERT_TRUE(sim.OpenPrinterW(const_cast<LPWSTR>(L"Busy"), &printer, &access));
  EXPECT_TRUE(SpoolDeletePrinter(printer));
  EXPECT_THAT(sim.CallsNamed({"SetPrinterW", "DeletePrinter"}),
              ::testing::ElementsAre("SetPrinterW(0,3)", "DeletePrinter"));
  sim.ClosePrinter(printer);

  ASSERT_TRUE(sim.OpenPrinterW(const_cast<LPWSTR>(L"Also busy"), &printer, &access));
  sim.FailCall("SetPrinterW", 1, ERROR_INVALID_LEVEL);
  sim.FailCall("DeletePrinter", 1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(SpoolDeletePrinter(printer)) << "the deletion's result, not the purge's";
  EXPECT_EQ(sim.Count("DeletePrinter"), 2);
  sim.ClosePrinter(printer);
}

}  // namespace
}  // namespace print
