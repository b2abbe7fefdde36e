// kvnmon64.dll: the port monitor behind the port "Lumenquill:".
//
// The spooler hands every job printed to this port over as raw bytes; each job
// goes into a file of its own in its owner's folder (job_folder.h), which only
// that user, SYSTEM and the Administrators can read. A job is written under a
// temporary name and gets its final name only at EndDocPort, so a job cut short
// (the spooler or the machine going down, the port closed mid-document, the
// user cancelling it, a write failing) never leaves a file that looks like a
// complete job.
#include "job_folder.h"
#include "monitor_calls.h"

namespace {

// The name the installer registers the monitor under, which is also the name
// of its only port.
constexpr wchar_t kPortName[] = L"Lumenquill:";
constexpr wchar_t kMonitorName[] = L"Lumenquill:";
constexpr wchar_t kPortDescription[] = L"Lumenquill job capture";

// Handles given to the spooler carry a signature so that a stale or foreign
// handle is refused instead of being written through.
constexpr DWORD kMonitorSignature = 0x4E4D514C;  // "LQMN"
constexpr DWORD kPortSignature = 0x54504C51;     // "QLPT"
constexpr DWORD kXcvSignature = 0x5643584C;      // "LXCV"

// The names of job files that differ only in a counter: one job per second per
// port is common, more than this many is not.
constexpr int kMaxNameAttempts = 1000;

struct Monitor {
  DWORD signature;
  const monitor::Calls* calls;
};

// What a configuration client (the spooler's XcvMonitor/XcvPort handles) opened.
struct Xcv {
  DWORD signature;
  ACCESS_MASK granted;
};

struct Port {
  DWORD signature;
  const monitor::Calls* calls;
  HANDLE file;     // INVALID_HANDLE_VALUE while no document is open
  HANDLE printer;  // the job's printer, to ask after the job and report it sent; may be null
  DWORD job_id;
  DWORD write_error;  // of the first write that failed: the job is lost
  SYSTEMTIME started;
  monitor::JobFolder folder;
  wchar_t temporary[MAX_PATH];
};

// What the spooler says of a job it has withdrawn while it was being written:
// deleted by the user (cancelled), or to be sent again from its start.
constexpr DWORD kWithdrawn = JOB_STATUS_DELETING | JOB_STATUS_DELETED | JOB_STATUS_RESTART;

LONG name_counter = 0;

template <typename T>
T* Allocate() {
  return static_cast<T*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(T)));
}

void Free(void* block) {
  HeapFree(GetProcessHeap(), 0, block);
}

// The monitor behind a handle the spooler passes back, or null (with
// ERROR_INVALID_HANDLE set) for anything else.
Monitor* AsMonitor(HANDLE handle) {
  auto* monitor = static_cast<Monitor*>(handle);
  if (monitor == nullptr || monitor->signature != kMonitorSignature) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return monitor;
}

Port* AsPort(HANDLE handle) {
  Port* port = static_cast<Port*>(handle);
  if (port == nullptr || port->signature != kPortSignature) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return port;
}

// Small appenders for building file names; they keep the text terminated and
// report false instead of running past the buffer.
bool Append(wchar_t (&buffer)[MAX_PATH], const wchar_t* text) {
  int used = lstrlenW(buffer);
  int length = lstrlenW(text);
  if (used + length >= MAX_PATH) {
    return false;
  }
  CopyMemory(buffer + used, text, (length + 1) * sizeof(wchar_t));
  return true;
}

bool AppendNumber(wchar_t (&buffer)[MAX_PATH], unsigned long value, int min_digits) {
  wchar_t digits[16];
  int count = 0;
  do {
    digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0 && count < 15);
  while (count < min_digits && count < 15) {
    digits[count++] = L'0';
  }
  wchar_t text[16];
  for (int i = 0; i < count; ++i) {
    text[i] = digits[count - 1 - i];
  }
  text[count] = L'\0';
  return Append(buffer, text);
}

// <folder>\20240131-154502-job17.prn, or ...-job17-2.prn and so on when a job
// of the same number already ended in the same second.
bool FinalName(const Port& port, int attempt, wchar_t (&name)[MAX_PATH]) {
  const SYSTEMTIME& t = port.started;
  name[0] = L'\0';
  bool fits = Append(name, port.folder.path) && Append(name, L"\\") &&
              AppendNumber(name, t.wYear, 4) && AppendNumber(name, t.wMonth, 2) &&
              AppendNumber(name, t.wDay, 2) && Append(name, L"-") &&
              AppendNumber(name, t.wHour, 2) && AppendNumber(name, t.wMinute, 2) &&
              AppendNumber(name, t.wSecond, 2) && Append(name, L"-job") &&
              AppendNumber(name, port.job_id, 1);
  if (fits && attempt > 1) {
    fits = Append(name, L"-") && AppendNumber(name, attempt, 1);
  }
  return fits && Append(name, L".prn");
}

// <folder>\~job17-<process>-<counter>.tmp: unique among every port of every
// process writing into the folder, and plainly not a finished job.
bool TemporaryName(const Port& port, wchar_t (&name)[MAX_PATH]) {
  name[0] = L'\0';
  return Append(name, port.folder.path) && Append(name, L"\\~job") &&
         AppendNumber(name, port.job_id, 1) && Append(name, L"-") &&
         AppendNumber(name, GetCurrentProcessId(), 1) && Append(name, L"-") &&
         AppendNumber(name, static_cast<unsigned long>(InterlockedIncrement(&name_counter)), 1) &&
         Append(name, L".tmp");
}

void ClosePrinterOf(Port& port) {
  if (port.printer != nullptr) {
    ClosePrinter(port.printer);
    port.printer = nullptr;
  }
}

// Deletes the document's file through its own handle: no name is looked up,
// so nothing but that file can go.
void DeleteDocument(const Port& port) {
  FILE_DISPOSITION_INFO dispose = {TRUE};
  SetFileInformationByHandle(port.file, FileDispositionInfo, &dispose, sizeof(dispose));
}

// Drops the document in progress: its data is incomplete, so its file goes.
void AbandonDocument(Port& port) {
  if (port.file != INVALID_HANDLE_VALUE) {
    DeleteDocument(port);
    CloseHandle(port.file);
    port.file = INVALID_HANDLE_VALUE;
  }
  ClosePrinterOf(port);
}

// The spooler calls the port while impersonating the job's owner, with the
// token it took when the job was submitted. The folders grant users no right
// to add files, so the file work runs as the monitor itself (SYSTEM) and the
// impersonation is put back after it, as RevertToPrinterSelf and
// ImpersonatePrinterClient do. Returns false, still impersonating, when the
// impersonation could not be dropped; client is null when there was none.
bool RevertToMonitor(HANDLE& client) {
  client = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY | TOKEN_IMPERSONATE, TRUE, &client)) {
    client = nullptr;
    return GetLastError() == ERROR_NO_TOKEN;
  }
  if (!SetThreadToken(nullptr, nullptr)) {
    DWORD error = GetLastError();
    CloseHandle(client);
    client = nullptr;
    SetLastError(error);
    return false;
  }
  return true;
}

bool ResumeClient(HANDLE client) {
  if (client == nullptr) {
    return true;
  }
  BOOL resumed = SetThreadToken(nullptr, client);
  DWORD error = GetLastError();
  CloseHandle(client);
  SetLastError(error);
  return resumed != FALSE;
}

// Opens the owner's folder and the job's temporary file in it, as the monitor
// itself. The owner is the user of the client's token: a job's user name is
// only a name, the token is whom the spooler acts for.
DWORD StartJobFile(Port& port, HANDLE client, DWORD job_id) {
  alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  if (!port.calls->GetTokenInformation(client, TokenUser, user, sizeof(user), &size)) {
    return GetLastError();
  }
  DWORD error = monitor::OpenJobFolder(*port.calls, reinterpret_cast<TOKEN_USER*>(user)->User.Sid,
                                       port.folder);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  port.job_id = job_id;
  port.write_error = ERROR_SUCCESS;
  GetLocalTime(&port.started);
  if (!TemporaryName(port, port.temporary)) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  // Made new, never opened: a name that exists, whatever it is, is not used.
  port.file = CreateFileW(
      port.temporary, GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (port.file == INVALID_HANDLE_VALUE) {
    error = GetLastError();
  }
  return error;
}

// Whether the spooler withdrew the job while it was written. Without an
// answer the job stands: it is the user's data.
bool JobWithdrawn(const Port& port) {
  if (port.printer == nullptr) {
    return false;
  }
  DWORD needed = 0;
  port.calls->GetJobW(port.printer, port.job_id, 1, nullptr, 0, &needed);
  if (needed < sizeof(JOB_INFO_1W)) {
    return false;
  }
  auto* job = static_cast<JOB_INFO_1W*>(HeapAlloc(GetProcessHeap(), 0, needed));
  bool withdrawn = job != nullptr &&
                   port.calls->GetJobW(port.printer, port.job_id, 1, reinterpret_cast<LPBYTE>(job),
                                       needed, &needed) &&
                   (job->Status & kWithdrawn) != 0;
  Free(job);
  return withdrawn;
}

// Gives the finished job its final name through its own handle, never
// replacing a file of that name: the next counter is tried instead.
DWORD GiveFinalName(const Port& port) {
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 1; attempt <= kMaxNameAttempts; ++attempt) {
    wchar_t final_name[MAX_PATH];
    if (!FinalName(port, attempt, final_name)) {
      return ERROR_FILENAME_EXCED_RANGE;
    }
    if (monitor::RenameTo(port.file, final_name)) {
      return ERROR_SUCCESS;
    }
    error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
      break;
    }
  }
  return error;
}

// Writes the level-1 or level-2 record of the one port. Strings are packed at
// the end of the caller's buffer, as the spooler's own enumerations do.
BOOL WINAPI EnumPorts(HANDLE monitor, LPWSTR, DWORD level, LPBYTE ports, DWORD size, LPDWORD needed,
                      LPDWORD returned) {
  if (needed == nullptr || returned == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *returned = 0;
  if (AsMonitor(monitor) == nullptr) {
    return FALSE;
  }
  DWORD record;
  const wchar_t* strings[3] = {kPortName, kMonitorName, kPortDescription};
  int string_count;
  if (level == 1) {
    record = sizeof(PORT_INFO_1W);
    string_count = 1;
  } else if (level == 2) {
    record = sizeof(PORT_INFO_2W);
    string_count = 3;
  } else {
    *needed = 0;
    SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  DWORD total = record;
  for (int i = 0; i < string_count; ++i) {
    total += (lstrlenW(strings[i]) + 1) * sizeof(wchar_t);
  }
  *needed = total;
  if (ports == nullptr || size < total) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }

  LPWSTR copies[3] = {};
  LPBYTE end = ports + total;
  for (int i = string_count - 1; i >= 0; --i) {
    DWORD bytes = (lstrlenW(strings[i]) + 1) * sizeof(wchar_t);
    end -= bytes;
    CopyMemory(end, strings[i], bytes);
    copies[i] = reinterpret_cast<LPWSTR>(end);
  }
  if (level == 1) {
    auto* info = reinterpret_cast<PORT_INFO_1W*>(ports);
    info->pName = copies[0];
  } else {
    auto* info = reinterpret_cast<PORT_INFO_2W*>(ports);
    info->pPortName = copies[0];
    info->pMonitorName = copies[1];
    info->pDescription = copies[2];
    info->fPortType = PORT_TYPE_WRITE;
    info->Reserved = 0;
  }
  *returned = 1;
  return TRUE;
}

BOOL WINAPI OpenPort(HANDLE monitor, LPWSTR name, PHANDLE handle) {
  if (name == nullptr || handle == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (AsMonitor(monitor) == nullptr) {
    return FALSE;
  }
  // Port names are not case-sensitive anywhere else in the spooler either.
  if (CompareStringOrdinal(name, -1, kPortName, -1, TRUE) != CSTR_EQUAL) {
    SetLastError(ERROR_UNKNOWN_PORT);
    return FALSE;
  }
  Port* port = Allocate<Port>();
  if (port == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  port->signature = kPortSignature;
  port->calls = AsMonitor(monitor)->calls;
  port->file = INVALID_HANDLE_VALUE;
  *handle = port;
  return TRUE;
}

BOOL WINAPI StartDocPort(HANDLE handle, LPWSTR printer_name, DWORD job_id, DWORD, LPBYTE) {
  Port* port = AsPort(handle);
  if (port == nullptr) {
    return FALSE;
  }
  if (port->file != INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_BUSY);
    return FALSE;
  }
  // A job the spooler does not run for a user (after a restart it holds no
  // token for the jobs left in its queue) has no owner to trust: it is
  // refused (ERROR_NO_TOKEN), never written anywhere shared.
  HANDLE client = nullptr;
  if (!RevertToMonitor(client)) {
    return FALSE;
  }
  DWORD error = client == nullptr ? ERROR_NO_TOKEN : StartJobFile(*port, client, job_id);
  if (!ResumeClient(client) && error == ERROR_SUCCESS) {
    error = GetLastError();
    AbandonDocument(*port);
  }
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  // The printer is only needed to tell the spooler at the end that the job
  // has left; a capture without it is still a capture.
  if (printer_name == nullptr || !OpenPrinterW(printer_name, &port->printer, nullptr)) {
    port->printer = nullptr;
  }
  return TRUE;
}

BOOL WINAPI WritePort(HANDLE handle, LPBYTE buffer, DWORD size, LPDWORD written) {
  Port* port = AsPort(handle);
  if (port == nullptr) {
    return FALSE;
  }
  if (written == nullptr || (buffer == nullptr && size != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *written = 0;
  if (port->file == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // After a failed write the job is lost (EndDocPort removes it). The rest is
  // taken and dropped, so that the spooler finishes the job rather than
  // sending it again and again into a full disk.
  if (port->write_error != ERROR_SUCCESS) {
    *written = size;
    return TRUE;
  }
  if (port->calls->WriteFile(port->file, buffer, size, written, nullptr)) {
    return TRUE;
  }
  port->write_error = GetLastError();
  SetLastError(port->write_error);
  return FALSE;
}

BOOL WINAPI EndDocPort(HANDLE handle) {
  Port* port = AsPort(handle);
  if (port == nullptr) {
    return FALSE;
  }
  if (port->file == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // A cancelled job is not kept as a finished one, nor is the first part of
  // one the spooler is going to send again.
  if (JobWithdrawn(*port)) {
    AbandonDocument(*port);
    return TRUE;
  }
  HANDLE client = nullptr;
  DWORD error = RevertToMonitor(client) ? ERROR_SUCCESS : GetLastError();
  DWORD lost = port->write_error;
  if (error == ERROR_SUCCESS && lost == ERROR_SUCCESS && !FlushFileBuffers(port->file)) {
    lost = GetLastError();
  }
  if (lost != ERROR_SUCCESS) {
    // Data that did not reach the disk whole is no job: under a finished
    // job's name it would pass for one, and a raw job with a gap prints
    // nothing useful. It is deleted, which also gives back the space that
    // ran out, and reported; the user prints it again.
    DeleteDocument(*port);
    monitor::Report(*port->calls, EVENTLOG_ERROR_TYPE, monitor::kPartialJob,
                    L"Job %lu of %s could not be written whole (error %lu) and was removed.",
                    port->job_id, wcsrchr(port->folder.path, L'\\') + 1, lost);
    error = lost;
  } else if (error == ERROR_SUCCESS) {
    error = GiveFinalName(*port);
  }
  // A job that could not be given its final name stays under its temporary
  // one: incomplete-looking, but its data is not thrown away.
  CloseHandle(port->file);
  port->file = INVALID_HANDLE_VALUE;
  ResumeClient(client);

  // Whatever became of the file, the job has left the port; without this the
  // spooler keeps it in the queue as printing, and the queue stands still. A
  // job lost to a failed write is told by EndDocPort's error and the event
  // log.
  if (port->printer != nullptr) {
    SetJobW(port->printer, port->job_id, 0, nullptr, JOB_CONTROL_SENT_TO_PRINTER);
  }
  ClosePrinterOf(*port);
  SetLastError(error);
  return error == ERROR_SUCCESS;
}

BOOL WINAPI ClosePort(HANDLE handle) {
  Port* port = AsPort(handle);
  if (port == nullptr) {
    return FALSE;
  }
  // A document still open here never reached EndDocPort: it is incomplete.
  AbandonDocument(*port);
  port->signature = 0;
  Free(port);
  return TRUE;
}

// Configuration channel. Port monitors must offer it; this port has nothing
// to configure, so every request is answered as not supported, except that
// a caller without administrator rights is told so first, as the platform
// expects of every monitor.
BOOL WINAPI XcvOpenPort(HANDLE monitor, LPCWSTR, ACCESS_MASK granted, PHANDLE handle) {
  if (handle == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (AsMonitor(monitor) == nullptr) {
    return FALSE;
  }
  Xcv* xcv = Allocate<Xcv>();
  if (xcv == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  xcv->signature = kXcvSignature;
  xcv->granted = granted;
  *handle = xcv;
  return TRUE;
}

DWORD WINAPI XcvDataPort(HANDLE handle, LPCWSTR, PBYTE, DWORD, PBYTE, DWORD, PDWORD needed) {
  Xcv* xcv = static_cast<Xcv*>(handle);
  if (xcv == nullptr || xcv->signature != kXcvSignature) {
    return ERROR_INVALID_HANDLE;
  }
  if (needed != nullptr) {
    *needed = 0;
  }
  if ((xcv->granted & SERVER_ACCESS_ADMINISTER) == 0) {
    return ERROR_ACCESS_DENIED;
  }
  return ERROR_NOT_SUPPORTED;
}

BOOL WINAPI XcvClosePort(HANDLE handle) {
  Xcv* xcv = static_cast<Xcv*>(handle);
  if (xcv == nullptr || xcv->signature != kXcvSignature) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  xcv->signature = 0;
  Free(xcv);
  return TRUE;
}

VOID WINAPI Shutdown(HANDLE monitor) {
  Monitor* state = static_cast<Monitor*>(monitor);
  if (state != nullptr && state->signature == kMonitorSignature) {
    state->signature = 0;
    Free(state);
  }
}

// The entries left null are optional ones the spooler treats as not
// supported: the one port cannot be added, configured or deleted, and nothing
// is read back from it.
MONITOR2 MakeTable() {
  MONITOR2 table = {};
  table.cbSize = sizeof(MONITOR2);
  table.pfnEnumPorts = EnumPorts;
  table.pfnOpenPort = OpenPort;
  table.pfnStartDocPort = StartDocPort;
  table.pfnWritePort = WritePort;
  table.pfnEndDocPort = EndDocPort;
  table.pfnClosePort = ClosePort;
  table.pfnXcvOpenPort = XcvOpenPort;
  table.pfnXcvDataPort = XcvDataPort;
  table.pfnXcvClosePort = XcvClosePort;
  table.pfnShutdown = Shutdown;
  return table;
}

const MONITOR2 kTable = MakeTable();

}  // namespace

namespace monitor {

const Calls kSystemCalls = {
    ::GetTokenInformation, ::CreateDirectoryW, ::GetSecurityInfo, ::SetKernelObjectSecurity,
    ::ReportEventW,        ::WriteFile,        ::GetJobW};

LPMONITOR2 InitializeMonitor(const Calls* calls, PHANDLE monitor) {
  if (monitor == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Monitor* state = Allocate<Monitor>();
  if (state == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  state->signature = kMonitorSignature;
  state->calls = calls;
  *monitor = state;
  return const_cast<LPMONITOR2>(&kTable);
}

}  // namespace monitor

extern "C" LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT init, PHANDLE monitor) {
  if (init == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return monitor::InitializeMonitor(&monitor::kSystemCalls, monitor);
}
