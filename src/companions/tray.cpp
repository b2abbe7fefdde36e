#include "companions/tray.h"

#include <algorithm>
#include <cwchar>

#include "base/ascii_text.h"
#include "base/wide_string.h"
#include "platform/owned_handles.h"
#include "platform/system_api.h"
#include "services/named_file.h"
#include "session/install_session.h"

namespace companions {
namespace {

using platform::Sys;

// Asks the running companion to exit and waits until its mutex is free.
void AskTrayToExit(HANDLE mutex) {
  bool request_sent = false;
  for (int pass = 0; pass < kClosePasses; ++pass) {
    HWND tray = Sys().FindWindowW(kTrayWindowClass, nullptr);
    if (tray != nullptr) {
      Sys().PostMessageW(tray, kTrayExitMessage, 0, 0);
      request_sent = true;
      if (Sys().WaitForSingleObject(mutex, kExitWait) == WAIT_OBJECT_0) {
        return;
      }
      continue;  // timed out, abandoned or failed: ask again at once
    }
    if (request_sent) {
      Sys().WaitForSingleObject(mutex, kExitWait);  // its window is gone; let it finish
      return;
    }
    Sys().Sleep(kNoWindowPause);  // its window may not be there yet
  }
  if (request_sent) {
    Sys().WaitForSingleObject(mutex, kExitWait);
  }
}

// Reads the autostart value into `path`. False when there is no such value,
// it does not fit with its terminator, or it is not a text.
bool ReadAutostartPath(HKEY key, wchar_t (&path)[kAutostartCapacity]) {
  for (wchar_t& c : path) {
    c = 0;
  }
  DWORD type = 0;
  DWORD bytes = sizeof(path);
  if (Sys().RegQueryValueExW(key, kAutostartValue, nullptr, &type, reinterpret_cast<LPBYTE>(path),
                             &bytes) != ERROR_SUCCESS) {
    return false;
  }
  // A text that fills the whole buffer without a terminator is cut short of
  // its real end: deleting what it names would delete another file.
  if (std::wmemchr(path, 0, kAutostartCapacity) == nullptr) {
    path[0] = 0;
    return false;
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) {
    path[0] = 0;  // not a path: nothing to delete
  } else if (path[0] == L'"') {
    // Quoted since a path with a blank may be read as a shorter one; earlier
    // builds wrote it bare, and both are read. Without its closing quote it
    // names no file for certain.
    const wchar_t* end = std::wcschr(path + 1, L'"');
    size_t length = end != nullptr ? static_cast<size_t>(end - path - 1) : 0;
    std::wmemmove(path, path + 1, length);
    path[length] = 0;
  }
  return true;
}

// A Restart Manager session, ended however the scope ends.
class RestartManagerSession {
 public:
  RestartManagerSession() {
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    started_ = Sys().RmStartSession(&handle_, 0, key) == ERROR_SUCCESS;
  }
  ~RestartManagerSession() {
    if (started_) {
      Sys().RmEndSession(handle_);
    }
  }
  RestartManagerSession(const RestartManagerSession&) = delete;
  RestartManagerSession& operator=(const RestartManagerSession&) = delete;

  // Ends the programs that use the file, in whichever session: asked to
  // close first, ended when they do not. Only when every one of them is
  // registered for a restart, as the companion is: a service, or another
  // program that has the file open (a virus scanner), is never ended here;
  // the file is then left, as it is while the companion runs.
  void EndProgramsOf(const wchar_t* path) {
    LPCWSTR files[] = {path};
    if (started_ &&
        Sys().RmRegisterResources(handle_, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS) {
      Sys().RmShutdown(handle_, RmForceShutdown | RmShutdownOnlyRegistered, nullptr);
    }
  }

 private:
  DWORD handle_ = 0;
  bool started_ = false;
};

// The companion's file: the mutex and its window reach only a companion of
// this session, so the Restart Manager ends those of other sessions (other
// users', or every user's when this runs in the system's session) first.
void DeleteTrayProgram(const wchar_t* path) {
  RestartManagerSession().EndProgramsOf(path);
  for (int attempt = 0; attempt < kDeleteAttempts; ++attempt) {
    // Never through a link that someone put in the path.
    if (services::DeleteNamedFile(path)) {
      return;
    }
    DWORD error = Sys().GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_CANT_ACCESS_FILE) {
      return;
    }
    Sys().Sleep(error == ERROR_ACCESS_DENIED ? kInUsePause : kOtherFailurePause);
  }
}

bool EndsWithSeparator(const base::WideString& text) {
  size_t length = base::Length(text);
  wchar_t last = length > 0 ? base::Text(text)[length - 1] : 0;
  return last == L'\\' || last == L'/';
}

// The log-on entry is the whole quoted path: unquoted, a path with a blank
// ("C:\Program Files\...") would first be tried as "C:\Program.exe".
void RegisterForLogOn(const base::WideString& path) {
  base::OwnedString entry;
  bool whole = base::Assign(entry, L"\"", 1) &&
               base::Append(entry, base::Text(path), base::Length(path)) &&
               base::Append(entry, L"\"", 1);
  if (!whole) {
    return;
  }
  platform::OwnedKey key = platform::OpenKey(HKEY_LOCAL_MACHINE, kAutostartKey, KEY_ALL_ACCESS);
  if (key.Held()) {
    Sys().RegSetValueExW(key.get(), kAutostartValue, 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(base::Text(entry)),
                         static_cast<DWORD>((base::Length(entry) + 1) * sizeof(wchar_t)));
  }
}

// Starts the companion with its quoted path, at most 259 of its characters,
// as the whole command line; the installer neither waits for it nor watches
// it.
void Launch(const base::WideString& path) {
  wchar_t command[kCommandPathLimit + 3] = {};
  size_t count = std::min(base::Length(path), kCommandPathLimit);
  command[0] = L'"';
  std::wmemcpy(command + 1, base::Text(path), count);
  command[count + 1] = L'"';
  command[count + 2] = 0;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  // No standard handles: the companion outlives the installer, and a caller
  // reading the installer's output to its end would wait for the companion.
  startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION process{};
  if (Sys().CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                           nullptr, nullptr, &startup, &process)) {
    Sys().CloseHandle(process.hProcess);
    Sys().CloseHandle(process.hThread);
  }
}

}  // namespace

void CloseTray(const wchar_t* keep) {
  platform::OwnedObject mutex(Sys().CreateMutexA(nullptr, FALSE, kTrayMutex));
  // Without the mutex there is no telling whether the companion still runs:
  // its file is left alone.
  bool watched = mutex.Held();
  if (watched && Sys().GetLastError() == ERROR_ALREADY_EXISTS) {
    AskTrayToExit(mutex.get());
  }
  mutex.Reset();  // gives up whatever ownership a successful wait took
  platform::OwnedKey key = platform::OpenKey(HKEY_LOCAL_MACHINE, kAutostartKey, KEY_ALL_ACCESS);
  if (!key.Held()) {
    return;
  }
  if (watched) {
    wchar_t path[kAutostartCapacity];
    if (!ReadAutostartPath(key.get(), path)) {
      Sys().Sleep(kNoValuePause);
    } else if (base::IsFullPath(path) &&
               (keep == nullptr || !base::EqualIgnoringAsciiCase(path, keep))) {
      DeleteTrayProgram(path);  // never a relative path: it would name anyone's file
    }
  }
  Sys().RegDeleteValueA(key.get(), "LumenquillTray");
}

base::WideString TrayProgramPath(const session::InstallSession& session) {
  // Every step is checked: when memory runs out, a part of the path would
  // name another file, so there is no path at all.
  base::WideString directory = base::Copy(session.InstallerDirectory);
  bool whole = base::Length(directory) == base::Length(session.InstallerDirectory);
  if (whole && EndsWithSeparator(directory)) {
    whole = base::Resize(directory, base::Length(directory) - 1);
  }
  base::WideString path;
  if (whole) {
    path = base::ParentDirectory(directory);
    // An empty parent is right only for a directory without a separator
    // to cut at.
    const wchar_t* text = base::Text(directory);
    const wchar_t* separator = std::wcsrchr(text, L'\\');
    if (separator == nullptr) {
      separator = std::wcsrchr(text, L'/');
    }
    whole = separator == nullptr || separator == text || base::Length(path) > 0;
  }
  base::Release(directory);
  if (whole && base::Length(path) > 0 && !EndsWithSeparator(path)) {
    whole = base::Append(path, L"\\", 1);
  }
  base::WideString name = base::FromNarrow("lumtray.exe");
  if (!whole || base::Length(name) == 0 ||
      !base::Append(path, base::Text(name), base::Length(name))) {
    base::Release(path);
  }
  base::Release(name);
  return path;
}

void StartTray(session::InstallSession& session) {
  // Without the installer's directory the companion's place is unknown: a
  // bare name would be looked for in other directories and started with
  // the installer's rights.
  if (session.LaunchTray == 0 || base::Length(session.InstallerDirectory) == 0) {
    return;
  }
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof(version);
  Sys().GetVersionExA(&version);
  if (version.dwPlatformId != VER_PLATFORM_WIN32_NT || version.dwMajorVersion <= 5) {
    return;
  }
  base::OwnedString path(TrayProgramPath(session));
  // Without a folder (an installer at the root of a drive, or no memory)
  // the bare name would be looked for anywhere: no companion then.
  if (base::IsFullPath(base::Text(path))) {
    RegisterForLogOn(path);
    Launch(path);
  }
}

}  // namespace companions
