#include "install_exe.h"

#include "base/owned_handle.h"
#include "heap_text.h"
#include "installer_log.h"

namespace custom_action {
namespace {

void CloseObject(HANDLE object) {
  CloseHandle(object);
}
using OwnedObject = base::OwnedHandle<HANDLE, CloseObject>;  // file, pipe end, process, thread

// Lines are cut here at the latest, so that output without line ends cannot
// grow without bound.
constexpr size_t kLongestLine = 4096;
constexpr DWORD kPollMilliseconds = 20;

// install.exe writes UTF-16LE without a byte order mark (one is skipped if
// present), lines ending in CR LF. Reads may end inside a character.
class LineSplitter {
 public:
  explicit LineSplitter(MSIHANDLE install) : install_(install) {}

  void Add(const unsigned char* bytes, DWORD count) {
    for (DWORD i = 0; i < count; ++i) {
      if (!have_low_) {
        low_ = bytes[i];
        have_low_ = true;
        continue;
      }
      have_low_ = false;
      Add(static_cast<wchar_t>(low_ | (bytes[i] << 8)));
    }
  }

  void Finish() {
    if (length_ > 0) {
      Flush();
    }
  }

  bool Cancelled() const { return cancelled_; }

 private:
  void Add(wchar_t c) {
    bool first = at_start_;
    at_start_ = false;
    if (first && c == 0xFEFF) {
      return;
    }
    if (c == L'\n') {
      if (length_ > 0 && line_[length_ - 1] == L'\r') {
        --length_;
      }
      Flush();
      return;
    }
    line_[length_++] = c;
    if (length_ == kLongestLine) {
      Flush();
    }
  }

  void Flush() {
    line_[length_] = 0;
    cancelled_ = LogLine(install_, line_) || cancelled_;
    length_ = 0;
  }

  MSIHANDLE install_;
  wchar_t line_[kLongestLine + 1];
  size_t length_ = 0;
  unsigned char low_ = 0;
  bool have_low_ = false, at_start_ = true, cancelled_ = false;
};

// Reads what the pipe holds now, never more: a read never blocks, so neither
// a full pipe nor a child that inherited the writing end can stall the wait.
void ReadAvailable(HANDLE pipe, LineSplitter& lines) {
  unsigned char buffer[4096];
  DWORD available = 0;
  while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
    DWORD got = 0;
    if (!ReadFile(pipe, buffer, available < sizeof(buffer) ? available : sizeof(buffer), &got,
                  nullptr) ||
        got == 0) {
      return;
    }
    lines.Add(buffer, got);
  }
}

// Starts PROGRAM with LINE and OUTPUT as its standard output, the one handle
// it inherits: the installer's process may hold other inheritable handles
// (under Wine a pipe), which the elevated program has no business holding,
// nor keeping open for as long as it runs.
bool Start(const wchar_t* program, wchar_t* line, HANDLE output, PROCESS_INFORMATION& process) {
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  auto* list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(HeapAlloc(GetProcessHeap(), 0, size));
  bool listed = list != nullptr && InitializeProcThreadAttributeList(list, 1, 0, &size);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdOutput = output;
  startup.lpAttributeList = list;
  // No window is passed: none of the installer's could own install.exe's.
  bool started = listed &&
                 UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &output,
                                           sizeof(output), nullptr, nullptr) &&
                 CreateProcessW(program, line, nullptr, nullptr, TRUE, EXTENDED_STARTUPINFO_PRESENT,
                                nullptr, nullptr, &startup.StartupInfo, &process);
  DWORD error = list == nullptr ? ERROR_NOT_ENOUGH_MEMORY : GetLastError();
  if (listed) {
    DeleteProcThreadAttributeList(list);
  }
  if (list != nullptr) {
    HeapFree(GetProcessHeap(), 0, list);
  }
  SetLastError(error);
  return started;
}

}  // namespace

RunResult RunInstallExe(MSIHANDLE install, const wchar_t* program, const wchar_t* word) {
  RunResult result;
  result.cancelled = Note(install, L"running \"%ls\" %ls", program, word);
  OwnedObject held(CreateFileW(program, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  bool piped = held.Held() && CreatePipe(&read_end, &write_end, &inheritable, 0);
  OwnedObject read(piped ? read_end : nullptr), write(piped ? write_end : nullptr);
  HeapText line;
  if (!piped || !SetHandleInformation(read.get(), HANDLE_FLAG_INHERIT, 0) ||
      !line.Format(wcslen(program) + wcslen(word) + 4, L"\"%ls\" %ls", program, word)) {
    result.error = GetLastError();
    return result;
  }
  PROCESS_INFORMATION process{};
  result.started = Start(program, line.get(), write.get(), process);
  result.error = result.started ? 0 : GetLastError();
  write.Reset();  // the program's is the writing end left: the pipe ends with it
  if (result.started) {
    OwnedObject running(process.hProcess), thread(process.hThread);
    LineSplitter lines(install);
    while (WaitForSingleObject(running.get(), kPollMilliseconds) == WAIT_TIMEOUT) {
      ReadAvailable(read.get(), lines);
    }
    ReadAvailable(read.get(), lines);  // everything it wrote is in the pipe now
    lines.Finish();
    result.cancelled = result.cancelled || lines.Cancelled();
    GetExitCodeProcess(running.get(), &result.code);
  }
  return result;
}

}  // namespace custom_action
