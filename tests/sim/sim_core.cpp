// The simulated Windows' machinery: the clock, fault injection, the call log,
// handles, memory blocks, last error and system texts.
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "sim/sim_windows.h"

namespace sim {
namespace {

constexpr size_t kGuard = 16;
constexpr unsigned char kGuardByte = 0xFD;
constexpr unsigned char kFreshByte = 0xCD;  // what a block holds before it is written

struct TypicalFailure {
  const char* call;
  DWORD error;
};

// The error each call most often reports when it fails on Windows. Calls that
// cannot fail (or whose failure the allocation sweep covers) are absent.
constexpr TypicalFailure kTypicalFailures[] = {
    {"OpenSCManagerW", ERROR_ACCESS_DENIED},
    {"OpenServiceW", ERROR_ACCESS_DENIED},
    {"QueryServiceStatus", ERROR_ACCESS_DENIED},
    {"StartServiceW", ERROR_SERVICE_REQUEST_TIMEOUT},
    {"ControlService", ERROR_DEPENDENT_SERVICES_RUNNING},
    {"EnumMonitorsW", RPC_S_SERVER_UNAVAILABLE},
    {"EnumPrinterDriversW", RPC_S_SERVER_UNAVAILABLE},
    {"EnumPrintersW", RPC_S_SERVER_UNAVAILABLE},
    {"GetPrinterW", RPC_S_SERVER_UNAVAILABLE},
    {"GetPrinterDriverW", RPC_S_SERVER_UNAVAILABLE},
    {"GetPrinterDriverDirectoryW", RPC_S_SERVER_UNAVAILABLE},
    {"AddMonitorW", ERROR_ACCESS_DENIED},
    {"DeleteMonitorW", ERROR_PRINT_MONITOR_IN_USE},
    {"AddPrinterDriverExW", ERROR_ACCESS_DENIED},
    {"DeletePrinterDriverExW", ERROR_PRINTER_DRIVER_IN_USE},
    {"AddPrinterW", ERROR_UNKNOWN_PRINTER_DRIVER},
    {"DeletePrinter", ERROR_ACCESS_DENIED},
    {"OpenPrinterW", ERROR_INVALID_PRINTER_NAME},
    {"ClosePrinter", ERROR_INVALID_HANDLE},
    {"SetPrinterW", ERROR_ACCESS_DENIED},
    // "Not found" is the answer for a value that does not exist, never how a
    // read of one that does fails: the spooler's reads fail like its other
    // calls.
    {"GetPrinterDataA", RPC_S_SERVER_UNAVAILABLE},
    {"GetPrinterDataExA", RPC_S_SERVER_UNAVAILABLE},
    {"SetPrinterDataA", ERROR_ACCESS_DENIED},
    {"SetPrinterDataExA", ERROR_ACCESS_DENIED},
    {"GetDefaultPrinterW", ERROR_FILE_NOT_FOUND},
    {"SetDefaultPrinterW", ERROR_INVALID_PRINTER_NAME},
    {"RegOpenKeyExA", ERROR_ACCESS_DENIED},
    {"RegQueryValueExW", ERROR_FILE_NOT_FOUND},
    {"RegSetValueExW", ERROR_ACCESS_DENIED},
    {"RegDeleteValueA", ERROR_FILE_NOT_FOUND},
    {"CreateFileW", ERROR_ACCESS_DENIED},
    {"ReadFile", ERROR_READ_FAULT},
    {"WriteFile", ERROR_DISK_FULL},
    {"DeleteFileW", ERROR_ACCESS_DENIED},
    {"MoveFileExW", ERROR_ACCESS_DENIED},
    {"GetFileAttributesW", ERROR_ACCESS_DENIED},
    {"GetModuleFileNameW", ERROR_INSUFFICIENT_BUFFER},
    {"GetSystemDirectoryW", ERROR_NOT_ENOUGH_MEMORY},
    {"GetFileVersionInfoSizeW", ERROR_RESOURCE_TYPE_NOT_FOUND},
    {"GetFileVersionInfoW", ERROR_RESOURCE_TYPE_NOT_FOUND},
    {"VerQueryValueW", ERROR_RESOURCE_TYPE_NOT_FOUND},
    {"FormatMessageW", ERROR_MR_MID_NOT_FOUND},
    {"MultiByteToWideChar", ERROR_NO_UNICODE_TRANSLATION},
    {"FindWindowW", ERROR_ACCESS_DENIED},
    {"PostMessageW", ERROR_ACCESS_DENIED},
    {"DialogBoxParamW", ERROR_RESOURCE_NAME_NOT_FOUND},
    {"SetDlgItemTextW", ERROR_CONTROL_ID_NOT_FOUND},
    {"SetWindowTextW", ERROR_ACCESS_DENIED},
    {"CreateMutexA", ERROR_ACCESS_DENIED},
    {"WaitForSingleObject", ERROR_INVALID_HANDLE},
    {"CreateProcessW", ERROR_FILE_NOT_FOUND},
    {"GetVersionExA", ERROR_INSUFFICIENT_BUFFER},
    {"CommandLineToArgvW", ERROR_NOT_ENOUGH_MEMORY},
    {"SetDefaultDllDirectories", ERROR_INVALID_PARAMETER},
};

// English system texts, as FormatMessageW gives them on Windows.
const std::map<DWORD, std::wstring>& DefaultMessages() {
  static const std::map<DWORD, std::wstring> texts = {
      {ERROR_FILE_NOT_FOUND, L"The system cannot find the file specified.\r\n"},
      {ERROR_PATH_NOT_FOUND, L"The system cannot find the path specified.\r\n"},
      {ERROR_ACCESS_DENIED, L"Access is denied.\r\n"},
      {ERROR_INVALID_HANDLE, L"The handle is invalid.\r\n"},
      {ERROR_NOT_ENOUGH_MEMORY,
       L"Not enough memory resources are available to process this "
       L"command.\r\n"},
      {ERROR_READ_FAULT, L"The system cannot read from the specified device.\r\n"},
      {ERROR_SHARING_VIOLATION,
       L"The process cannot access the file because it is being used "
       L"by another process.\r\n"},
      {ERROR_INVALID_PARAMETER, L"The parameter is incorrect.\r\n"},
      {ERROR_DISK_FULL, L"There is not enough space on the disk.\r\n"},
      {ERROR_INSUFFICIENT_BUFFER, L"The data area passed to a system call is too small.\r\n"},
      {ERROR_INVALID_LEVEL, L"The system call level is not correct.\r\n"},
      {ERROR_MOD_NOT_FOUND, L"The specified module could not be found.\r\n"},
      {ERROR_ALREADY_EXISTS, L"Cannot create a file when that file already exists.\r\n"},
      {ERROR_MORE_DATA, L"More data is available.\r\n"},
      {ERROR_SERVICE_REQUEST_TIMEOUT,
       L"The service did not respond to the start or control "
       L"request in a timely fashion.\r\n"},
      {ERROR_DEPENDENT_SERVICES_RUNNING,
       L"A stop control has been sent to a service that other "
       L"running services are dependent on.\r\n"},
      {ERROR_SERVICE_ALREADY_RUNNING, L"An instance of the service is already running.\r\n"},
      {ERROR_SERVICE_DOES_NOT_EXIST,
       L"The specified service does not exist as an installed "
       L"service.\r\n"},
      {ERROR_SERVICE_NOT_ACTIVE, L"The service has not been started.\r\n"},
      {ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
       L"The service cannot accept control messages at this "
       L"time.\r\n"},
      {ERROR_UNKNOWN_PORT, L"The specified port is unknown.\r\n"},
      {ERROR_UNKNOWN_PRINTER_DRIVER, L"The printer driver is unknown.\r\n"},
      {ERROR_UNKNOWN_PRINTPROCESSOR, L"The print processor is unknown.\r\n"},
      {ERROR_INVALID_PRINTER_NAME, L"The printer name is invalid.\r\n"},
      {ERROR_PRINTER_ALREADY_EXISTS, L"The printer already exists.\r\n"},
      {ERROR_INVALID_ENVIRONMENT, L"The environment specified is invalid.\r\n"},
      {ERROR_UNKNOWN_PRINT_MONITOR, L"The specified print monitor is unknown.\r\n"},
      {ERROR_PRINTER_DRIVER_IN_USE, L"The specified printer driver is currently in use.\r\n"},
      {ERROR_PRINT_MONITOR_ALREADY_INSTALLED,
       L"The specified print monitor has already been "
       L"installed.\r\n"},
      {ERROR_PRINT_MONITOR_IN_USE, L"The specified print monitor is currently in use.\r\n"},
      {RPC_S_SERVER_UNAVAILABLE, L"The RPC server is unavailable.\r\n"},
      {ERROR_RESOURCE_DATA_NOT_FOUND,
       L"The specified image file did not contain a resource "
       L"section.\r\n"},
      {ERROR_RESOURCE_TYPE_NOT_FOUND,
       L"The specified resource type cannot be found in the image "
       L"file.\r\n"},
      {ERROR_INVALID_WINDOW_HANDLE, L"Invalid window handle.\r\n"},
      {static_cast<DWORD>(E_OUTOFMEMORY),
       L"Not enough memory resources are available to "
       L"complete this operation.\r\n"},
  };
  return texts;
}

}  // namespace

std::wstring Fold(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'a' && c <= L'z') {
      c = static_cast<wchar_t>(c - L'a' + L'A');
    }
  }
  return text;
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) {
    return {};
  }
  int chars =
      ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(chars), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), chars);
  return wide;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) {
    return {};
  }
  int bytes = ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), narrow.data(), bytes,
                        nullptr, nullptr);
  return narrow;
}

void Clock::AdvanceTo(uint64_t until) {
  while (!events.empty() && events.begin()->first <= until) {
    auto first = events.begin();
    now = std::max(now, first->first);
    auto action = std::move(first->second);
    events.erase(first);
    action();
  }
  now = std::max(now, until);
}

std::optional<uint64_t> Clock::NextEvent() const {
  if (events.empty()) {
    return std::nullopt;
  }
  return events.begin()->first;
}

SimWindows::SimWindows() : messages(DefaultMessages()) {
  fs.MakeDirectory(system_directory);
  fs.MakeDirectory(L"C:\\Program Files\\Lumenquill\\x64");
  fs.MakeDirectory(spooler.drivers_root + L"\\x64\\3");
  fs.MakeDirectory(spooler.drivers_root + L"\\W32X86\\3");
  registry.Key(kRunKey);
  registry.Key(kSessionManagerKey);
  registry.Key(L"HKCU\\Software");
  // A fresh machine's port monitors; "Local Port" serves the standard ports.
  spooler.monitors.push_back({L"Local Port",
                              kEnvX64,
                              L"localspl.dll",
                              {L"FILE:", L"LPT1:", L"COM1:", L"PORTPROMPT:", L"NUL:"}});
  spooler.monitors.push_back({L"Standard TCP/IP Port", kEnvX64, L"tcpmon.dll", {}});
  fs.Put(system_directory + L"\\localspl.dll");
  fs.Put(system_directory + L"\\tcpmon.dll");
  processes[1] = Process{L"install.exe", module_path, true, {}};
}

SimWindows::~SimWindows() {
  for (auto& [block, info] : blocks_) {
    std::free(static_cast<unsigned char*>(block) - kGuard);
  }
}

DWORD SimWindows::TypicalError(const std::string& call) {
  for (const auto& failure : kTypicalFailures) {
    if (call == failure.call) {
      return failure.error;
    }
  }
  return 0;
}

void SimWindows::FailCall(const std::string& call, int nth, DWORD error, int times) {
  faults_.push_back({call, nth, error, times, 0});
}

void SimWindows::FailNthCall(int nth) {
  faults_.push_back({"*", nth, 0, 1, 0});
}

void SimWindows::FailAllocation(int nth, int times, std::optional<int> kind) {
  allocation_faults_.push_back({nth, times, kind});
}

std::optional<DWORD> SimWindows::Enter(const char* call, const std::string& detail) {
  calls.push_back(detail.empty() ? std::string(call) : std::string(call) + "(" + detail + ")");
  int number = ++call_numbers_[call];
  auto hook = before_call.find(call);
  if (hook != before_call.end()) {
    auto action = hook->second;  // the hook may replace itself
    action(number);
  }
  auto duration = call_durations.find(call);
  if (duration != call_durations.end()) {
    clock.AdvanceTo(clock.now + duration->second);
  }
  DWORD typical = TypicalError(call);
  if (typical != 0) {
    ++failable_calls;
  }
  std::optional<DWORD> result;
  for (Fault& fault : faults_) {
    bool counts = fault.call == call || (fault.call == "*" && typical != 0);
    if (!counts) {
      continue;
    }
    ++fault.seen;
    bool in_range =
        fault.seen >= fault.nth && (fault.times < 0 || fault.seen < fault.nth + fault.times);
    if (in_range && !result) {
      result = fault.error != 0 ? fault.error : typical;
    }
  }
  return result;
}

BOOL SimWindows::Fail(DWORD error) {
  last_error_ = error;
  return FALSE;
}

HANDLE SimWindows::NewHandle(HandleEntry entry) {
  uintptr_t value = next_handle_;
  next_handle_ += 4;
  handles_[value] = std::move(entry);
  return reinterpret_cast<HANDLE>(value);
}

HandleEntry* SimWindows::Lookup(HANDLE handle, HandleEntry::Kind kind) {
  auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
  if (found == handles_.end() || !found->second.open || found->second.kind != kind) {
    return nullptr;
  }
  return &found->second;
}

bool SimWindows::Close(HANDLE handle, std::initializer_list<HandleEntry::Kind> kinds,
                       const char* call) {
  auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
  if (found == handles_.end()) {
    return false;  // null or never issued: the call fails, nothing to report
  }
  HandleEntry& entry = found->second;
  bool kind_ok = false;
  for (auto kind : kinds) {
    kind_ok = kind_ok || entry.kind == kind;
  }
  if (!entry.open || !kind_ok) {
    std::ostringstream text;
    text << call << " on a handle that is " << (entry.open ? "of another kind" : "already closed")
         << " (0x" << std::hex << found->first << ")";
    violations.push_back(text.str());
    return false;
  }
  entry.open = false;
  return true;
}

void* SimWindows::Allocate(Block::Kind kind, size_t bytes, bool zero, const std::string& origin,
                           bool counted) {
  if (counted) {
    ++allocations;
    bool fail = false;
    for (AllocationFault& fault : allocation_faults_) {
      if (fault.kind && *fault.kind != kind) {
        continue;
      }
      ++fault.seen;
      fail = fail ||
             (fault.seen >= fault.nth && (fault.times < 0 || fault.seen < fault.nth + fault.times));
    }
    if (fail) {
      return nullptr;
    }
  }
  auto* raw = static_cast<unsigned char*>(std::malloc(bytes + 2 * kGuard));
  std::memset(raw, kGuardByte, kGuard);
  std::memset(raw + kGuard, zero ? 0 : kFreshByte, bytes);
  std::memset(raw + kGuard + bytes, kGuardByte, kGuard);
  void* block = raw + kGuard;
  blocks_[block] = Block{kind, bytes, origin};
  return block;
}

namespace {
bool GuardsIntact(const void* block, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(block);
  for (size_t i = 0; i < kGuard; ++i) {
    if (bytes[-1 - static_cast<ptrdiff_t>(i)] != kGuardByte || bytes[size + i] != kGuardByte) {
      return false;
    }
  }
  return true;
}

const char* KindName(Block::Kind kind) {
  switch (kind) {
    case Block::kGlobal:
      return "global";
    case Block::kHeap:
      return "heap";
    case Block::kLocal:
      return "local";
  }
  return "?";
}
}  // namespace

bool SimWindows::Free(Block::Kind kind, void* block, const char* call) {
  auto found = blocks_.find(block);
  if (found == blocks_.end()) {
    std::ostringstream text;
    text << call << " of a block that is not allocated (" << block << ")";
    violations.push_back(text.str());
    return false;
  }
  if (found->second.kind != kind) {
    violations.push_back(std::string(call) + " of a " + KindName(found->second.kind) + " block");
    return false;
  }
  if (!GuardsIntact(block, found->second.size)) {
    violations.push_back("write past the end of a block from " + found->second.origin);
  }
  std::free(static_cast<unsigned char*>(block) - kGuard);
  blocks_.erase(found);
  return true;
}

void SimWindows::CheckCapacity(const char* call, const void* buffer, size_t bytes) {
  if (buffer == nullptr || bytes == 0) {
    return;
  }
  auto found = blocks_.upper_bound(const_cast<void*>(buffer));
  if (found == blocks_.begin()) {
    return;
  }
  --found;
  const auto* start = static_cast<const unsigned char*>(found->first);
  const auto* at = static_cast<const unsigned char*>(buffer);
  size_t size = found->second.size;
  if (at > start + size) {
    return;  // not in this block, nor in any other
  }
  size_t room = size - static_cast<size_t>(at - start);
  if (bytes > room) {
    std::ostringstream text;
    text << call << " was told " << bytes << " bytes of a buffer with " << room
         << " left in its block from " << found->second.origin;
    violations.push_back(text.str());
  }
}

size_t SimWindows::BlockSize(const void* block) const {
  auto found = blocks_.find(const_cast<void*>(block));
  return found == blocks_.end() ? 0 : found->second.size;
}

int SimWindows::Count(const std::string& call) const {
  int count = 0;
  for (const auto& entry : calls) {
    if (entry == call || entry.rfind(call + "(", 0) == 0) {
      ++count;
    }
  }
  return count;
}

std::vector<std::string> SimWindows::CallsNamed(const std::set<std::string>& names) const {
  std::vector<std::string> result;
  for (const auto& entry : calls) {
    if (names.count(entry.substr(0, entry.find('('))) != 0) {
      result.push_back(entry);
    }
  }
  return result;
}

std::vector<std::string> SimWindows::Leaks() const {
  static const char* kHandleKinds[] = {"file",         "service manager", "service", "printer",
                                       "registry key", "mutex",           "process", "thread"};
  std::vector<std::string> leaks = violations;
  for (const auto& [value, entry] : handles_) {
    if (entry.open && entry.process == 1) {
      std::ostringstream text;
      text << "leaked " << kHandleKinds[entry.kind] << " handle 0x" << std::hex << value;
      if (!entry.path.empty()) {
        text << " (" << Narrow(entry.path) << ")";
      }
      leaks.push_back(text.str());
    }
  }
  for (const auto& [block, info] : blocks_) {
    std::ostringstream text;
    text << "leaked " << KindName(info.kind) << " block of " << info.size << " bytes from "
         << info.origin;
    leaks.push_back(text.str());
    if (!GuardsIntact(block, info.size)) {
      leaks.push_back("write past the end of a block from " + info.origin);
    }
  }
  return leaks;
}

// ---------------------------------------------------------------- memory calls

HGLOBAL SimWindows::GlobalAlloc(UINT flags, SIZE_T bytes) {
  Enter("GlobalAlloc", std::to_string(bytes));
  if ((flags & GMEM_MOVEABLE) != 0) {
    violations.push_back("GlobalAlloc with GMEM_MOVEABLE: the program uses fixed blocks only");
  }
  void* block = Allocate(Block::kGlobal, bytes, (flags & GMEM_ZEROINIT) != 0, "GlobalAlloc");
  if (block == nullptr) {
    last_error_ = ERROR_NOT_ENOUGH_MEMORY;
  }
  return block;
}

HGLOBAL SimWindows::GlobalFree(HGLOBAL block) {
  Enter("GlobalFree");
  if (block == nullptr) {
    return nullptr;
  }
  if (!Free(Block::kGlobal, block, "GlobalFree")) {
    last_error_ = ERROR_INVALID_HANDLE;
    return block;
  }
  return nullptr;
}

HANDLE SimWindows::GetProcessHeap() {
  Enter("GetProcessHeap");
  return heap_;
}

LPVOID SimWindows::HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  Enter("HeapAlloc", std::to_string(bytes));
  if (heap != heap_) {
    violations.push_back("HeapAlloc on a heap that is not the process heap");
    return nullptr;
  }
  return Allocate(Block::kHeap, bytes, (flags & HEAP_ZERO_MEMORY) != 0, "HeapAlloc");
}

LPVOID SimWindows::HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
  Enter("HeapReAlloc", std::to_string(bytes));
  auto found = blocks_.find(block);
  if (heap != heap_ || found == blocks_.end() || found->second.kind != Block::kHeap) {
    violations.push_back("HeapReAlloc of a block that is not a live heap block");
    return nullptr;
  }
  size_t old_size = found->second.size;
  void* grown = Allocate(Block::kHeap, bytes, (flags & HEAP_ZERO_MEMORY) != 0, "HeapReAlloc");
  if (grown == nullptr) {
    return nullptr;  // the old block stays valid
  }
  std::memcpy(grown, block, std::min(old_size, static_cast<size_t>(bytes)));
  Free(Block::kHeap, block, "HeapReAlloc");
  return grown;
}

BOOL SimWindows::HeapFree(HANDLE heap, DWORD, LPVOID block) {
  Enter("HeapFree");
  if (block == nullptr) {
    return TRUE;
  }
  if (heap != heap_ || !Free(Block::kHeap, block, "HeapFree")) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  return TRUE;
}

HLOCAL SimWindows::LocalFree(HLOCAL block) {
  Enter("LocalFree");
  if (block == nullptr) {
    return nullptr;
  }
  if (!Free(Block::kLocal, block, "LocalFree")) {
    last_error_ = ERROR_INVALID_HANDLE;
    return block;
  }
  return nullptr;
}

// ---------------------------------------------------------------- errors, texts, time

DWORD SimWindows::GetLastError() {
  Enter("GetLastError");
  return last_error_;
}

void SimWindows::SetLastError(DWORD error) {
  Enter("SetLastError", std::to_string(error));
  last_error_ = error;
}

DWORD SimWindows::FormatMessageW(DWORD flags, LPCVOID, DWORD message, DWORD language, LPWSTR buffer,
                                 DWORD size, va_list*) {
  if (auto error = Enter("FormatMessageW", std::to_string(message))) {
    return Fail(*error);
  }
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) == 0) {
    CheckCapacity("FormatMessageW", buffer, size * sizeof(wchar_t));
  }
  auto found = messages.find(message);
  if (found == messages.end() || (language != 0 && language != 1033)) {
    return Fail(found == messages.end() ? ERROR_MR_MID_NOT_FOUND : ERROR_RESOURCE_LANG_NOT_FOUND);
  }
  const std::wstring& text = found->second;
  if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
    size_t bytes = (std::max<size_t>(text.size() + 1, size)) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(Allocate(Block::kLocal, bytes, true, "FormatMessageW",
                                                /*counted=*/false));
    std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    *reinterpret_cast<LPWSTR*>(buffer) = copy;
  } else {
    if (size < text.size() + 1) {
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  }
  return static_cast<DWORD>(text.size());
}

int SimWindows::MultiByteToWideChar(UINT code_page, DWORD flags, LPCCH text, int bytes,
                                    LPWSTR buffer, int chars) {
  if (auto error = Enter("MultiByteToWideChar")) {
    return Fail(*error);
  }
  CheckCapacity("MultiByteToWideChar", buffer, chars > 0 ? chars * sizeof(wchar_t) : 0);
  // The conversion itself is the platform's: it has no state to model.
  int result = ::MultiByteToWideChar(code_page, flags, text, bytes, buffer, chars);
  if (result == 0) {
    last_error_ = ::GetLastError();
  }
  return result;
}

void SimWindows::Sleep(DWORD milliseconds) {
  Enter("Sleep", std::to_string(milliseconds));
  if (milliseconds == INFINITE) {
    violations.push_back("Sleep(INFINITE) would never return");
    return;
  }
  clock.AdvanceTo(clock.now + milliseconds);
}

DWORD SimWindows::GetTickCount() {
  Enter("GetTickCount");
  return static_cast<DWORD>(clock.tick_base + clock.now);
}

}  // namespace sim
