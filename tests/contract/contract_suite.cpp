// The contract of the seam: one suite, run on Win32 under Wine and on the
// simulated Windows with the same assertions, so that the model answers as
// the platform does. Where Wine differs from Windows, the case says so and
// the model follows Windows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "contract/contract_env.h"

namespace contract {
namespace {

using ::testing::Contains;
using ::testing::EndsWith;

class Contract : public ::testing::Test {
 protected:
  void SetUp() override { Env().Reset(); }
  void TearDown() override { Env().Check(); }

  platform::SystemApi& api() { return Env().Api(); }

  std::wstring Scratch() {
    return Env().ScratchDirectory(::testing::UnitTest::GetInstance()->current_test_info()->name());
  }

  void WriteFile(const std::wstring& path, const std::string& bytes) {
    HANDLE file =
        api().CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(
        api().WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    ASSERT_TRUE(api().CloseHandle(file));
  }

  // Polls the service until it reports `state`, for at most ten seconds.
  bool WaitForState(SC_HANDLE service, DWORD state) {
    for (int i = 0; i < 100; ++i) {
      SERVICE_STATUS status{};
      if (api().QueryServiceStatus(service, &status) && status.dwCurrentState == state) {
        return true;
      }
      api().Sleep(100);
    }
    return false;
  }

  // The two-call protocol: a size query without a buffer, then the fetch.
  template <typename Call>
  std::vector<BYTE> Fetch(Call call, DWORD* count) {
    DWORD needed = 0;
    *count = 0;
    api().SetLastError(0);
    if (call(nullptr, 0, &needed, count)) {
      EXPECT_EQ(needed, 0u) << "a size query succeeds only when there is nothing to return";
      EXPECT_EQ(*count, 0u);
      return {};
    }
    EXPECT_EQ(api().GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
    EXPECT_GT(needed, 0u);
    std::vector<BYTE> buffer(needed);
    EXPECT_TRUE(call(buffer.data(), needed, &needed, count));
    return buffer;
  }
};

TEST_F(Contract, SpoolerServiceStopsAndStartsAndRefusesToStopTwice) {
  SC_HANDLE manager = api().OpenSCManagerW(nullptr, nullptr, 0xF0001);
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(api().OpenServiceW(manager, L"NoSuchService", 0x14), nullptr);
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
  SC_HANDLE service = api().OpenServiceW(manager, L"spooler", 0x34);
  ASSERT_NE(service, nullptr);

  // Wine's fresh prefix has the spooler stopped; Windows has it running.
  api().StartServiceW(service, 0, nullptr);
  ASSERT_TRUE(WaitForState(service, SERVICE_RUNNING));
  EXPECT_FALSE(api().StartServiceW(service, 0, nullptr));
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_SERVICE_ALREADY_RUNNING});

  SERVICE_STATUS status{};
  EXPECT_TRUE(api().ControlService(service, SERVICE_CONTROL_STOP, &status));
  ASSERT_TRUE(WaitForState(service, SERVICE_STOPPED));
  EXPECT_FALSE(api().ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_SERVICE_NOT_ACTIVE});

  EXPECT_TRUE(api().StartServiceW(service, 0, nullptr));
  EXPECT_TRUE(WaitForState(service, SERVICE_RUNNING));
  EXPECT_TRUE(api().CloseServiceHandle(service));
  EXPECT_TRUE(api().CloseServiceHandle(manager));
  EXPECT_FALSE(api().CloseServiceHandle(nullptr));
}

TEST_F(Contract, ServiceCallsNeedTheAccessTheHandleWasOpenedWith) {
  SC_HANDLE manager = api().OpenSCManagerW(nullptr, nullptr, 0xF0001);
  ASSERT_NE(manager, nullptr);
  SC_HANDLE query_only = api().OpenServiceW(manager, L"spooler", SERVICE_QUERY_STATUS);
  ASSERT_NE(query_only, nullptr);
  SERVICE_STATUS status{};
  EXPECT_FALSE(api().ControlService(query_only, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_ACCESS_DENIED});
  api().CloseServiceHandle(query_only);
  api().CloseServiceHandle(manager);
}

TEST_F(Contract, EnumMonitorsReportsTheSizeThenFillsTheRecords) {
  DWORD count = 0;
  auto buffer = Fetch(
      [&](LPBYTE b, DWORD size, LPDWORD needed, LPDWORD returned) {
        return api().EnumMonitorsW(nullptr, 2, b, size, needed, returned);
      },
      &count);
  ASSERT_GE(count, 1u);
  std::vector<std::wstring> names;
  auto* records = reinterpret_cast<MONITOR_INFO_2W*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) {
    names.emplace_back(records[i].pName);
    // Every string lies inside the block the caller provided.
    EXPECT_GE(reinterpret_cast<BYTE*>(records[i].pDLLName), buffer.data());
    EXPECT_LT(reinterpret_cast<BYTE*>(records[i].pDLLName), buffer.data() + buffer.size());
  }
  EXPECT_THAT(names, Contains(std::wstring(L"Local Port")));

  DWORD needed = 0;
  EXPECT_FALSE(api().EnumMonitorsW(nullptr, 3, nullptr, 0, &needed, &count));
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_INVALID_LEVEL});
}

TEST_F(Contract, EnumPrintersAndDriversFollowTheTwoCallProtocol) {
  DWORD count = 0;
  auto printers = Fetch(
      [&](LPBYTE b, DWORD size, LPDWORD needed, LPDWORD returned) {
        return api().EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, b,
                                   size, needed, returned);
      },
      &count);
  EXPECT_EQ(printers.empty(), count == 0);
  if (count == 0) {
    wchar_t name[64];
    DWORD chars = 64;
    EXPECT_FALSE(api().GetDefaultPrinterW(name, &chars)) << "no printer, no default printer";
    EXPECT_EQ(api().GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
  }
  auto drivers = Fetch(
      [&](LPBYTE b, DWORD size, LPDWORD needed, LPDWORD returned) {
        return api().EnumPrinterDriversW(nullptr, const_cast<LPWSTR>(L"Windows x64"), 6, b, size,
                                         needed, returned);
      },
      &count);
  EXPECT_EQ(drivers.empty(), count == 0);

  HANDLE printer = nullptr;
  EXPECT_FALSE(api().OpenPrinterW(const_cast<LPWSTR>(L"No Such Printer 7"), &printer, nullptr));
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_INVALID_PRINTER_NAME});
}

TEST_F(Contract, PrinterDriverDirectoryIsReportedInBytesWithItsTerminator) {
  DWORD needed = 0;
  LPWSTR environment = const_cast<LPWSTR>(L"Windows x64");
  EXPECT_FALSE(api().GetPrinterDriverDirectoryW(nullptr, environment, 1, nullptr, 0, &needed));
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(
      api().GetPrinterDriverDirectoryW(nullptr, environment, 1, buffer.data(), needed, &needed));
  std::wstring directory(reinterpret_cast<wchar_t*>(buffer.data()));
  EXPECT_EQ(needed, (directory.size() + 1) * sizeof(wchar_t));
  for (wchar_t& c : directory) {
    c = static_cast<wchar_t>(towlower(c));
  }
  EXPECT_THAT(directory, EndsWith(L"\\spool\\drivers\\x64"));
}

TEST_F(Contract, MonitorsCannotBeAddedTwiceNorDeletedWhenUnknown) {
  MONITOR_INFO_2W monitor{const_cast<LPWSTR>(L"Local Port"), const_cast<LPWSTR>(L"Windows x64"),
                          const_cast<LPWSTR>(L"localspl.dll")};
  EXPECT_FALSE(api().AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&monitor)));
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_PRINT_MONITOR_ALREADY_INSTALLED});
  EXPECT_FALSE(api().DeleteMonitorW(nullptr, const_cast<LPWSTR>(L"Windows x64"),
                                    const_cast<LPWSTR>(L"No Such Monitor:")));
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_UNKNOWN_PRINT_MONITOR});
}

TEST_F(Contract, DeleteFileTellsMissingFilesMissingDirectoriesAndFilesInUseApart) {
  std::wstring dir = Scratch();
  std::wstring path = dir + L"\\held.bin";
  WriteFile(path, "data");
  EXPECT_FALSE(api().DeleteFileW((dir + L"\\missing.bin").c_str()));
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
  EXPECT_FALSE(api().DeleteFileW((dir + L"\\no such dir\\missing.bin").c_str()));
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_PATH_NOT_FOUND});

  HANDLE held = api().CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(api().DeleteFileW(path.c_str()));
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
  HANDLE writer = api().CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, 0, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "the holder does not share writing";
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
  EXPECT_TRUE(api().CloseHandle(held));
  EXPECT_EQ(api().GetFileAttributesW(dir.c_str()) & FILE_ATTRIBUTE_DIRECTORY,
            DWORD{FILE_ATTRIBUTE_DIRECTORY});
  EXPECT_NE(api().GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(api().DeleteFileW(path.c_str()));
  EXPECT_EQ(api().GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
}

TEST_F(Contract, FilesAreCreatedReadAndWrittenInChunks) {
  std::wstring path = Scratch() + L"\\data.bin";
  WriteFile(path, "old contents");
  HANDLE file = api().CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_ALREADY_EXISTS}) << "an existing file is truncated";
  DWORD written = 0;
  EXPECT_TRUE(api().WriteFile(file, "0123456789", 10, &written, nullptr));
  EXPECT_EQ(written, 10u);
  api().CloseHandle(file);

  file = api().CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  char buffer[8] = {};
  DWORD read = 0;
  EXPECT_TRUE(api().ReadFile(file, buffer, 8, &read, nullptr));
  EXPECT_EQ(read, 8u);
  EXPECT_TRUE(api().ReadFile(file, buffer, 8, &read, nullptr));
  EXPECT_EQ(read, 2u);
  EXPECT_EQ(std::string(buffer, 2), "89");
  EXPECT_TRUE(api().ReadFile(file, buffer, 8, &read, nullptr));
  EXPECT_EQ(read, 0u) << "the end of the file reads as success with no bytes";
  api().CloseHandle(file);

  EXPECT_EQ(api().CreateFileW((Scratch() + L"\\absent.bin").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
}

TEST_F(Contract, DelayedDeletionIsQueuedInTheSessionManagersRenameList) {
  std::wstring path = Scratch() + L"\\later.dll";
  WriteFile(path, "x");
  HKEY key = nullptr;
  ASSERT_EQ(
      api().RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                          0, KEY_READ | KEY_SET_VALUE, &key),
      ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  bool existed = api().RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type,
                                        nullptr, &size) == ERROR_SUCCESS;
  std::vector<BYTE> before(size);
  if (existed) {
    api().RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, before.data(),
                           &size);
  }

  ASSERT_TRUE(api().MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  size = 0;
  ASSERT_EQ(
      api().RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &size),
      ERROR_SUCCESS);
  EXPECT_EQ(type, DWORD{REG_MULTI_SZ});
  std::vector<BYTE> after(size);
  api().RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, after.data(), &size);
  std::wstring queued(reinterpret_cast<wchar_t*>(after.data()), size / sizeof(wchar_t));
  // The source behind the "\??\" prefix, an empty target, and the closing NUL.
  std::wstring entry = L"\\??\\" + path + std::wstring(3, L'\0');
  EXPECT_THAT(queued, EndsWith(entry));

  if (existed) {
    api().RegSetValueExW(key, L"PendingFileRenameOperations", 0, type, before.data(),
                         static_cast<DWORD>(before.size()));
  } else {
    api().RegDeleteValueA(key, "PendingFileRenameOperations");
  }
  api().RegCloseKey(key);
  api().DeleteFileW(path.c_str());
}

TEST_F(Contract, RegistryValuesAnswerSizeQueriesAndShortBuffers) {
  HKEY missing = nullptr;
  EXPECT_EQ(
      api().RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\No Such Key 7", 0, KEY_READ, &missing),
      ERROR_FILE_NOT_FOUND);
  HKEY key = nullptr;
  ASSERT_EQ(api().RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  const wchar_t text[] = L"hello";
  ASSERT_EQ(api().RegSetValueExW(key, L"LumenquillContract", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(text), sizeof(text)),
            ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  EXPECT_EQ(api().RegQueryValueExW(key, L"LumenquillContract", nullptr, &type, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, DWORD{REG_SZ});
  EXPECT_EQ(size, sizeof(text));
  BYTE small[4];
  size = sizeof(small);
  EXPECT_EQ(api().RegQueryValueExW(key, L"LumenquillContract", nullptr, &type, small, &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof(text)) << "the short read tells the size it needs";
  wchar_t back[8] = {};
  size = sizeof(back);
  EXPECT_EQ(api().RegQueryValueExW(key, L"LumenquillContract", nullptr, &type,
                                   reinterpret_cast<BYTE*>(back), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(back, text);
  EXPECT_EQ(api().RegDeleteValueA(key, "LumenquillContract"), ERROR_SUCCESS);
  EXPECT_EQ(api().RegDeleteValueA(key, "LumenquillContract"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(api().RegQueryValueExW(key, L"LumenquillContract", nullptr, &type, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(api().RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(Contract, ANamedMutexOpenedAgainSaysItAlreadyExists) {
  const char* name = "Lumenquill.Contract.{5B1F0C2A-2D44-4C61-9E0A-7A3B9C1D2E4F}";
  HANDLE first = api().CreateMutexA(nullptr, FALSE, name);
  ASSERT_NE(first, nullptr);
  EXPECT_NE(api().GetLastError(), DWORD{ERROR_ALREADY_EXISTS});
  HANDLE second = api().CreateMutexA(nullptr, FALSE, name);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_ALREADY_EXISTS});
  EXPECT_NE(first, second);
  EXPECT_EQ(api().WaitForSingleObject(second, 0), DWORD{WAIT_OBJECT_0}) << "nobody owns it";
  EXPECT_TRUE(api().CloseHandle(second));
  EXPECT_TRUE(api().CloseHandle(first));
}

TEST_F(Contract, VersionResourcesGiveTheFixedFileInfo) {
  std::wstring versioned = Env().VersionedDll();
  DWORD handle = 1;
  DWORD size = api().GetFileVersionInfoSizeW(versioned.c_str(), &handle);
  ASSERT_GT(size, 0u);
  EXPECT_EQ(handle, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(api().GetFileVersionInfoW(versioned.c_str(), 0, size, block.data()));
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  ASSERT_TRUE(api().VerQueryValueW(block.data(), L"\\", reinterpret_cast<LPVOID*>(&info), &length));
  EXPECT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(info->dwProductVersionMS, 0x00010002u);
  EXPECT_EQ(info->dwProductVersionLS, 0x000309EEu);  // 3.2542

  std::wstring plain = Env().PlainDll();
  EXPECT_EQ(api().GetFileVersionInfoSizeW(plain.c_str(), &handle), 0u);
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_RESOURCE_DATA_NOT_FOUND}) << "no resources at all";
  EXPECT_EQ(api().GetFileVersionInfoSizeW((Scratch() + L"\\absent.dll").c_str(), &handle), 0u);
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
}

TEST_F(Contract, SystemTextsComeInAnAllocatedBufferWithTheirLineBreak) {
  LPWSTR text = nullptr;
  DWORD length = api().FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, ERROR_FILE_NOT_FOUND, 1033, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  ASSERT_GT(length, 0u);
  ASSERT_NE(text, nullptr);
  EXPECT_THAT(std::wstring(text), EndsWith(L"\r\n"));
  EXPECT_EQ(api().LocalFree(text), nullptr);
}

TEST_F(Contract, CommandLinesSplitWithQuotes) {
  int count = 0;
  LPWSTR* arguments = api().CommandLineToArgvW(L"C:\\x\\install.exe \"a b\" c", &count);
  ASSERT_NE(arguments, nullptr);
  ASSERT_EQ(count, 3);
  EXPECT_STREQ(arguments[1], L"a b");
  EXPECT_STREQ(arguments[2], L"c");
  EXPECT_EQ(api().LocalFree(arguments), nullptr);
}

// ---------------------------------------------------------------- the product on the spooler

// Registers the product's monitor, driver and one printer on its port, and
// removes them again, whatever the test in between did.
class ContractSpooler : public Contract {
 protected:
  static constexpr wchar_t kPrinter[] = L"Lumenquill contract";

  void SetUp() override {
    Contract::SetUp();
    StartSpooler();
    system_directory_ = SystemDirectory();
    driver_directory_ = DriverDirectory();
    Copy(Env().PayloadFile(L"kvnmon64.dll"), system_directory_ + L"\\kvnmon64.dll");
    for (const wchar_t* name : {L"kvndrv64.dll", L"kvnui64.dll"}) {
      Copy(Env().PayloadFile(name), driver_directory_ + L"\\" + name);
    }
    MONITOR_INFO_2W monitor{Text(L"Lumenquill:"), Text(L"Windows x64"), Text(L"kvnmon64.dll")};
    ASSERT_TRUE(api().AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&monitor)))
        << api().GetLastError();
    std::wstring driver_path = driver_directory_ + L"\\kvndrv64.dll";
    std::wstring config_path = driver_directory_ + L"\\kvnui64.dll";
    DRIVER_INFO_6W driver{};
    driver.cVersion = 3;
    driver.pName = Text(L"Lumenquill printer");
    driver.pEnvironment = Text(L"Windows x64");
    driver.pDriverPath = driver_path.data();
    driver.pDataFile = driver_path.data();
    driver.pConfigFile = config_path.data();
    ASSERT_TRUE(api().AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&driver),
                                          APD_COPY_ALL_FILES))
        << api().GetLastError();
    printer_ = AddPrinter();
    ASSERT_NE(printer_, nullptr) << api().GetLastError();
  }

  void TearDown() override {
    if (printer_ != nullptr) {
      api().ClosePrinter(printer_);
    }
    PRINTER_DEFAULTSW access{nullptr, nullptr, 0x10004};
    HANDLE printer = nullptr;
    if (api().OpenPrinterW(Text(kPrinter), &printer, &access)) {
      api().DeletePrinter(printer);
      api().ClosePrinter(printer);
    }
    api().DeletePrinterDriverExW(nullptr, Text(L"Windows x64"), Text(L"Lumenquill printer"), 0, 0);
    api().DeleteMonitorW(nullptr, Text(L"Windows x64"), Text(L"Lumenquill:"));
    for (const std::wstring& path :
         {system_directory_ + L"\\kvnmon64.dll", driver_directory_ + L"\\kvndrv64.dll",
          driver_directory_ + L"\\kvnui64.dll", driver_directory_ + L"\\3\\kvndrv64.dll",
          driver_directory_ + L"\\3\\kvnui64.dll"}) {
      api().DeleteFileW(path.c_str());
    }
    Contract::TearDown();
  }

  static LPWSTR Text(const wchar_t* text) { return const_cast<LPWSTR>(text); }

  void StartSpooler() {
    SC_HANDLE manager = api().OpenSCManagerW(nullptr, nullptr, 0xF0001);
    SC_HANDLE service = api().OpenServiceW(manager, L"spooler", 0x14);
    api().StartServiceW(service, 0, nullptr);
    WaitForState(service, SERVICE_RUNNING);
    api().CloseServiceHandle(service);
    api().CloseServiceHandle(manager);
  }
  std::wstring SystemDirectory() {
    wchar_t path[MAX_PATH];
    UINT length = api().GetSystemDirectoryW(path, MAX_PATH);
    return std::wstring(path, length);
  }
  std::wstring DriverDirectory() {
    BYTE buffer[2 * MAX_PATH];
    DWORD needed = 0;
    api().GetPrinterDriverDirectoryW(nullptr, Text(L"Windows x64"), 1, buffer, sizeof(buffer),
                                     &needed);
    return reinterpret_cast<wchar_t*>(buffer);
  }
  void Copy(const std::wstring& from, const std::wstring& to) {
    HANDLE source = api().CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(source, INVALID_HANDLE_VALUE)
        << testing::PrintToString(std::string(from.begin(), from.end()));
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    while (api().ReadFile(source, chunk, sizeof(chunk), &read, nullptr) && read != 0) {
      bytes.append(chunk, read);
    }
    api().CloseHandle(source);
    WriteFile(to, bytes);
  }
  HANDLE AddPrinter() {
    PRINTER_INFO_2W info{};
    info.pPrinterName = Text(kPrinter);
    info.pPortName = Text(L"Lumenquill:");
    info.pDriverName = Text(L"Lumenquill printer");
    info.pPrintProcessor = Text(L"WinPrint");
    info.pDatatype = Text(L"RAW");
    return api().AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  }

  std::wstring system_directory_, driver_directory_;
  HANDLE printer_ = nullptr;
};

TEST_F(ContractSpooler, APrinterIsReadInTwoCallsAndKeepsItsPrinterData) {
  DWORD needed = 0;
  EXPECT_FALSE(api().GetPrinterW(printer_, 2, nullptr, 0, &needed));
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
  std::vector<BYTE> record(needed);
  ASSERT_TRUE(api().GetPrinterW(printer_, 2, record.data(), needed, &needed));
  auto* info = reinterpret_cast<PRINTER_INFO_2W*>(record.data());
  EXPECT_STREQ(info->pPortName, L"Lumenquill:");
  EXPECT_STREQ(info->pDriverName, L"Lumenquill printer");

  char subkey[] = "user\\binding";
  EXPECT_EQ(api().SetPrinterDataA(printer_, const_cast<LPSTR>("SubKey"), REG_SZ,
                                  reinterpret_cast<LPBYTE>(subkey), sizeof(subkey)),
            DWORD{ERROR_SUCCESS});
  char small[4];
  DWORD type = 0;
  EXPECT_EQ(api().GetPrinterDataA(printer_, const_cast<LPSTR>("SubKey"), &type,
                                  reinterpret_cast<LPBYTE>(small), sizeof(small), &needed),
            DWORD{ERROR_MORE_DATA});
  EXPECT_EQ(needed, sizeof(subkey));
  char back[64] = {};
  EXPECT_EQ(api().GetPrinterDataA(printer_, const_cast<LPSTR>("SubKey"), &type,
                                  reinterpret_cast<LPBYTE>(back), sizeof(back), &needed),
            DWORD{ERROR_SUCCESS});
  EXPECT_EQ(type, DWORD{REG_SZ});
  EXPECT_STREQ(back, subkey);
  EXPECT_EQ(api().GetPrinterDataExA(printer_, "DsUser", "SubKey", &type,
                                    reinterpret_cast<LPBYTE>(back), sizeof(back), &needed),
            DWORD{ERROR_FILE_NOT_FOUND});
  EXPECT_EQ(api().SetPrinterDataExA(printer_, "DsUser", "SubKey", REG_SZ,
                                    reinterpret_cast<LPBYTE>(subkey), sizeof(subkey)),
            DWORD{ERROR_SUCCESS});
  EXPECT_EQ(api().GetPrinterDataExA(printer_, "DsUser", "SubKey", &type,
                                    reinterpret_cast<LPBYTE>(back), sizeof(back), &needed),
            DWORD{ERROR_SUCCESS});
  EXPECT_EQ(api().GetPrinterDataA(printer_, const_cast<LPSTR>("Missing"), &type,
                                  reinterpret_cast<LPBYTE>(back), sizeof(back), &needed),
            DWORD{ERROR_FILE_NOT_FOUND});
}

TEST_F(ContractSpooler, TheDefaultPrinterIsSetAndReadWithItsSize) {
  ASSERT_TRUE(api().SetDefaultPrinterW(kPrinter));
  wchar_t name[64] = {};
  DWORD chars = 4;
  EXPECT_FALSE(api().GetDefaultPrinterW(name, &chars));
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
  EXPECT_EQ(chars, wcslen(kPrinter) + 1);
  chars = 64;
  ASSERT_TRUE(api().GetDefaultPrinterW(name, &chars));
  EXPECT_STREQ(name, kPrinter);
  EXPECT_FALSE(api().SetDefaultPrinterW(L"No Such Printer 7"));
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_INVALID_PRINTER_NAME});
}

TEST_F(ContractSpooler, ThePortCanBeSwitchedToFileAndBack) {
  DWORD needed = 0;
  api().GetPrinterW(printer_, 2, nullptr, 0, &needed);
  std::vector<BYTE> record(needed);
  ASSERT_TRUE(api().GetPrinterW(printer_, 2, record.data(), needed, &needed));
  auto* info = reinterpret_cast<PRINTER_INFO_2W*>(record.data());
  info->pPortName = Text(L"file:");
  EXPECT_TRUE(api().SetPrinterW(printer_, 2, record.data(), 0)) << api().GetLastError();
  std::vector<BYTE> after(needed + 64);
  ASSERT_TRUE(
      api().GetPrinterW(printer_, 2, after.data(), static_cast<DWORD>(after.size()), &needed));
  EXPECT_EQ(_wcsicmp(reinterpret_cast<PRINTER_INFO_2W*>(after.data())->pPortName, L"file:"), 0);
}

TEST_F(ContractSpooler, WhatAPrinterUsesCannotBeDeleted) {
  // Windows refuses a second printer of the same name; Wine overwrites it.
  HANDLE again = AddPrinter();
  if (Env().IsWine()) {
    EXPECT_NE(again, nullptr);
    api().ClosePrinter(again);
  } else {
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(api().GetLastError(), DWORD{ERROR_PRINTER_ALREADY_EXISTS});
  }
  // Windows keeps a driver and a monitor that a printer uses; Wine deletes
  // both. The simulated Windows follows Windows.
  BOOL driver_deleted = api().DeletePrinterDriverExW(nullptr, Text(L"Windows x64"),
                                                     Text(L"Lumenquill printer"), 0, 0);
  DWORD driver_error = api().GetLastError();
  BOOL monitor_deleted = api().DeleteMonitorW(nullptr, Text(L"Windows x64"), Text(L"Lumenquill:"));
  DWORD monitor_error = api().GetLastError();
  if (Env().IsWine()) {
    EXPECT_TRUE(driver_deleted);
    EXPECT_TRUE(monitor_deleted);
  } else {
    EXPECT_FALSE(driver_deleted);
    EXPECT_EQ(driver_error, DWORD{ERROR_PRINTER_DRIVER_IN_USE});
    EXPECT_FALSE(monitor_deleted);
    EXPECT_EQ(monitor_error, DWORD{ERROR_PRINT_MONITOR_IN_USE});
  }
}

TEST_F(ContractSpooler, DeletingAPrinterNeedsTheRightToDeleteIt) {
  api().ClosePrinter(printer_);  // a printer with open handles is only marked for deletion
  printer_ = nullptr;
  PRINTER_DEFAULTSW access{nullptr, nullptr, 0x10004};
  HANDLE printer = nullptr;
  ASSERT_TRUE(api().OpenPrinterW(Text(kPrinter), &printer, &access));
  EXPECT_TRUE(api().DeletePrinter(printer));
  EXPECT_TRUE(api().ClosePrinter(printer));
  EXPECT_FALSE(api().OpenPrinterW(Text(kPrinter), &printer, nullptr));
  EXPECT_EQ(api().GetLastError(), DWORD{ERROR_INVALID_PRINTER_NAME});
  // The driver and the monitor are free now.
  EXPECT_TRUE(api().DeletePrinterDriverExW(nullptr, Text(L"Windows x64"),
                                           Text(L"Lumenquill printer"), 0, 0));
  EXPECT_TRUE(api().DeleteMonitorW(nullptr, Text(L"Windows x64"), Text(L"Lumenquill:")));
}

}  // namespace
}  // namespace contract
