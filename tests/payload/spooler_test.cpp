// The port monitor and the printer driver registered with the spooler the
// way the installer registers them, a printer made on them, its default
// device mode read back and a job printed through it. Everything is removed
// again afterwards, so that later tests in the same Wine prefix start from a
// clean spooler.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <algorithm>
#include <string>
#include <vector>

#include "driver_ui.h"
#include "payload_support.h"

namespace {

using payload_test::PayloadFile;

wchar_t kEnvironment[] = L"Windows x64";
wchar_t kMonitorName[] = L"Lumenquill:";
wchar_t kMonitorFile[] = L"kvnmon64.dll";
wchar_t kDriverName[] = L"Lumenquill printer";
wchar_t kPrinterName[] = L"Lumenquill payload test";
wchar_t kMaker[] = L"Korvane Software Kft.";
wchar_t kMakerUrl[] = L"https://www.korvane.example/";

// Wine's spooler finds the monitor of a port only through this key (with the
// port's name below it). Windows' spooler asks the monitors' EnumPorts
// instead, and the monitor cannot write the key under Wine: the registry
// functions Wine hands to monitors are not implemented. The test writes it,
// so that a job reaches the monitor under Wine as it does on Windows.
constexpr wchar_t kMonitorPortsKey[] =
    L"System\\CurrentControlSet\\Control\\Print\\Monitors\\Lumenquill:\\Ports";

std::wstring SystemDirectory() {
  wchar_t path[MAX_PATH];
  GetSystemDirectoryW(path, MAX_PATH);
  return path;
}

std::wstring DriverDirectory() {
  wchar_t path[MAX_PATH] = {};
  DWORD needed = 0;
  if (!GetPrinterDriverDirectoryW(nullptr, kEnvironment, 1, reinterpret_cast<LPBYTE>(path),
                                  sizeof(path), &needed)) {
    return L"";
  }
  return path;
}

// Two-call enumeration into a buffer; the records start at its beginning.
template <typename Call>
std::vector<BYTE> Enumerate(Call call, DWORD* count) {
  DWORD needed = 0;
  *count = 0;
  call(nullptr, 0, &needed, count);
  std::vector<BYTE> buffer(needed + 1);
  if (!call(buffer.data(), needed, &needed, count)) {
    *count = 0;
  }
  return buffer;
}

bool MonitorRegistered() {
  DWORD count = 0;
  std::vector<BYTE> buffer = Enumerate(
      [](LPBYTE data, DWORD size, LPDWORD needed, LPDWORD returned) {
        return EnumMonitorsW(nullptr, 1, data, size, needed, returned);
      },
      &count);
  auto* monitors = reinterpret_cast<MONITOR_INFO_1W*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) {
    if (lstrcmpW(monitors[i].pName, kMonitorName) == 0) {
      return true;
    }
  }
  return false;
}

struct PrinterHandle {
  HANDLE handle = nullptr;
  ~PrinterHandle() {
    if (handle != nullptr) {
      ClosePrinter(handle);
    }
  }
};

// The new job files in the jobs folder holding exactly these bytes.
std::vector<std::wstring> CapturedJobs(const std::vector<std::wstring>& before,
                                       const std::string& bytes) {
  std::vector<std::wstring> captured;
  for (const std::wstring& name : payload_test::FileNames(payload_test::JobsFolder())) {
    std::string content;
    if (std::find(before.begin(), before.end(), name) == before.end() &&
        payload_test::ReadWholeFile(payload_test::JobsFolder() + L"\\" + name, &content) &&
        content == bytes) {
      captured.push_back(name);
    }
  }
  return captured;
}

class SpoolerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Wine's print calls work in the calling process even with the spooler
    // service stopped, as it is in a fresh prefix; Windows needs it running.
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager != nullptr) {
      SC_HANDLE spooler = OpenServiceW(manager, L"spooler", SERVICE_START);
      if (spooler != nullptr) {
        StartServiceW(spooler, 0, nullptr);
        CloseServiceHandle(spooler);
      }
      CloseServiceHandle(manager);
    }
    driver_directory_ = DriverDirectory();
    ASSERT_FALSE(driver_directory_.empty());
    RemoveEverything();
  }

  void TearDown() override {
    RemoveEverything();
    HANDLE printer = nullptr;
    EXPECT_FALSE(OpenPrinterW(kPrinterName, &printer, nullptr));
    EXPECT_FALSE(MonitorRegistered());
  }

  // Also clears what an earlier, interrupted run left behind.
  void RemoveEverything() {
    HANDLE printer = nullptr;
    PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    if (OpenPrinterW(kPrinterName, &printer, &all)) {
      EXPECT_TRUE(DeletePrinter(printer)) << GetLastError();
      ClosePrinter(printer);
    }
    // Wine refuses the delete-files flags (87); the files are removed below.
    DeletePrinterDriverExW(nullptr, kEnvironment, kDriverName, 0, 0);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kMonitorPortsKey);
    if (MonitorRegistered()) {
      EXPECT_TRUE(DeleteMonitorW(nullptr, kEnvironment, kMonitorName)) << GetLastError();
    }
    DeleteFileW((SystemDirectory() + L"\\" + kMonitorFile).c_str());
    for (const wchar_t* name : {L"kvndrv64.dll", L"kvnui64.dll", L"kvnhelp.chm"}) {
      DeleteFileW((driver_directory_ + L"\\" + name).c_str());
      // The installed copies, which stay without the delete-files flags.
      DeleteFileW((driver_directory_ + L"\\3\\" + name).c_str());
    }
  }

  std::wstring driver_directory_;
};

TEST_F(SpoolerTest, InstallsMonitorDriverAndPrinter) {
  // The monitor, as the installer registers it: its DLL in the system
  // directory, named by its bare file name.
  ASSERT_TRUE(CopyFileW(PayloadFile(kMonitorFile).c_str(),
                        (SystemDirectory() + L"\\" + kMonitorFile).c_str(), FALSE))
      << GetLastError();
  MONITOR_INFO_2W monitor = {kMonitorName, kEnvironment, kMonitorFile};
  ASSERT_TRUE(AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&monitor))) << GetLastError();
  EXPECT_TRUE(MonitorRegistered());
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                            (std::wstring(kMonitorPortsKey) + L"\\" + kMonitorName).c_str(), 0,
                            nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);

  // The spooler lists the port the monitor serves.
  DWORD count = 0;
  std::vector<BYTE> ports = Enumerate(
      [](LPBYTE data, DWORD size, LPDWORD needed, LPDWORD returned) {
        return EnumPortsW(nullptr, 2, data, size, needed, returned);
      },
      &count);
  bool listed = false;
  for (DWORD i = 0; i < count; ++i) {
    auto& port = reinterpret_cast<PORT_INFO_2W*>(ports.data())[i];
    listed = listed || lstrcmpW(port.pPortName, kMonitorName) == 0;
  }
  EXPECT_TRUE(listed);

  // The driver, staged in the driver directory and registered as the
  // installer's level-6 record.
  std::wstring staged[3];
  const wchar_t* files[3] = {L"kvndrv64.dll", L"kvnui64.dll", L"kvnhelp.chm"};
  for (int i = 0; i < 3; ++i) {
    staged[i] = driver_directory_ + L"\\" + files[i];
    ASSERT_TRUE(CopyFileW(PayloadFile(files[i]).c_str(), staged[i].c_str(), FALSE))
        << GetLastError();
  }
  DRIVER_INFO_6W driver = {};
  driver.cVersion = 3;
  driver.pName = kDriverName;
  driver.pEnvironment = kEnvironment;
  driver.pDriverPath = staged[0].data();
  driver.pDataFile = staged[0].data();
  driver.pConfigFile = staged[1].data();
  driver.pHelpFile = staged[2].data();
  driver.pszMfgName = kMaker;
  driver.pszOEMUrl = kMakerUrl;
  driver.pszProvider = kMaker;
  ASSERT_TRUE(
      AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&driver), APD_COPY_ALL_FILES))
      << GetLastError();
  for (const std::wstring& path : staged) {
    EXPECT_TRUE(DeleteFileW(path.c_str())) << GetLastError();
  }

  // A printer on the port and the driver.
  PRINTER_INFO_2W info = {};
  info.pPrinterName = kPrinterName;
  info.pPortName = kMonitorName;
  info.pDriverName = kDriverName;
  info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
  info.pDatatype = const_cast<LPWSTR>(L"RAW");
  info.Attributes = PRINTER_ATTRIBUTE_LOCAL;
  HANDLE added = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  ASSERT_NE(added, nullptr) << GetLastError();
  ClosePrinter(added);

  // The spooler asked the driver's configuration DLL for the printer's
  // default device mode when the printer was added, and keeps it.
  PrinterHandle opened;
  ASSERT_TRUE(OpenPrinterW(kPrinterName, &opened.handle, nullptr)) << GetLastError();
  HANDLE printer = opened.handle;
  DWORD needed = 0;
  GetPrinterW(printer, 2, nullptr, 0, &needed);
  std::vector<BYTE> stored(needed + 1);
  ASSERT_TRUE(GetPrinterW(printer, 2, stored.data(), needed, &needed)) << GetLastError();
  const DEVMODEW* kept = reinterpret_cast<PRINTER_INFO_2W*>(stored.data())->pDevMode;
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->dmDriverExtra, sizeof(driver_ui::PrivateDevmode));
  EXPECT_EQ(kept->dmDriverVersion, driver_ui::kDriverVersion);

  // And answers DocumentPropertiesW from it: the size, then the contents.
  LONG size = DocumentPropertiesW(nullptr, printer, kPrinterName, nullptr, nullptr, 0);
  ASSERT_EQ(size, static_cast<LONG>(driver_ui::kDevmodeSize));
  std::vector<BYTE> buffer(size, 0);
  auto* dm = reinterpret_cast<DEVMODEW*>(buffer.data());
  // Windows tells the driver that the output buffer has the size
  // DocumentPropertiesW reported; Wine tells it the dmSize found in the
  // output buffer (its own AddPrinterW writes the whole size there first).
  // The driver never writes more than it is told, so the buffer says it.
  dm->dmSize = static_cast<WORD>(size);
  EXPECT_EQ(DocumentPropertiesW(nullptr, printer, kPrinterName, dm, nullptr, DM_OUT_BUFFER), IDOK);
  EXPECT_STREQ(dm->dmDeviceName, L"Lumenquill payload test");
  EXPECT_EQ(dm->dmSpecVersion, DM_SPECVERSION);
  EXPECT_EQ(dm->dmSize, sizeof(DEVMODEW));
  EXPECT_EQ(dm->dmDriverExtra, sizeof(driver_ui::PrivateDevmode));
  EXPECT_EQ(dm->dmDriverVersion, driver_ui::kDriverVersion);
  EXPECT_EQ(dm->dmCopies, 1);
  EXPECT_EQ(dm->dmOrientation, DMORIENT_PORTRAIT);
  EXPECT_EQ(dm->dmColor, DMCOLOR_COLOR);
  auto* extra =
      reinterpret_cast<const driver_ui::PrivateDevmode*>(buffer.data() + sizeof(DEVMODEW));
  EXPECT_EQ(extra->signature, driver_ui::kPrivateSignature);

  // A raw job printed to the printer reaches the monitor, which keeps it.
  std::string bytes = "\x1b%-12345X@PJL JOB NAME=\"payload test " +
                      std::to_string(GetCurrentProcessId()) + "\"\r\n";
  std::vector<std::wstring> before = payload_test::FileNames(payload_test::JobsFolder());
  DOC_INFO_1W doc = {const_cast<LPWSTR>(L"payload test"), nullptr, const_cast<LPWSTR>(L"RAW")};
  ASSERT_NE(StartDocPrinterW(printer, 1, reinterpret_cast<LPBYTE>(&doc)), 0u) << GetLastError();
  DWORD written = 0;
  EXPECT_TRUE(WritePrinter(printer, bytes.data(), static_cast<DWORD>(bytes.size()), &written));
  EXPECT_TRUE(EndDocPrinter(printer)) << GetLastError();
  EXPECT_EQ(written, bytes.size());
  // Windows' spooler sends the job to the port on a thread of its own.
  std::vector<std::wstring> captured = CapturedJobs(before, bytes);
  for (int i = 0; i < 100 && captured.empty(); ++i) {
    Sleep(50);
    captured = CapturedJobs(before, bytes);
  }
  ASSERT_EQ(captured.size(), 1u);
  EXPECT_EQ(captured[0].substr(captured[0].size() - 4), L".prn");
  EXPECT_TRUE(DeleteFileW((payload_test::JobsFolder() + L"\\" + captured[0]).c_str()));
}

}  // namespace
