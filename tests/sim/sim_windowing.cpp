// Windows, messages and modal dialogs, named mutexes and waits, other
// processes, the platform version and the command line of the simulated
// Windows.
#include <cstring>

#include "sim/sim_windows.h"

namespace sim {
namespace {

std::wstring ImageOf(LPCWSTR application, const std::wstring& command_line) {
  if (application != nullptr) {
    return application;
  }
  if (!command_line.empty() && command_line[0] == L'"') {
    size_t close = command_line.find(L'"', 1);
    return command_line.substr(1, close == std::wstring::npos ? close : close - 1);
  }
  return command_line.substr(0, command_line.find(L' '));
}

std::wstring FileNameOf(const std::wstring& path) {
  size_t cut = path.find_last_of(L"\\/:");
  return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

std::string ProcessLock(int process) {
  return "process:" + std::to_string(process);
}

}  // namespace

// ---------------------------------------------------------------- other processes

int SimWindows::StartProcess(const std::wstring& image, const std::wstring& command_line) {
  int id = next_process_++;
  processes[id] = Process{command_line, image, true, {}};
  if (File* file = fs.Find(image)) {
    file->image_locks.insert(ProcessLock(id));
  }
  return id;
}

void SimWindows::EndProcess(int id) {
  auto found = processes.find(id);
  if (found == processes.end() || !found->second.running) {
    return;
  }
  Process& process = found->second;
  process.running = false;
  for (auto& [name, mutex] : mutexes) {
    if (mutex.owner == id) {
      mutex.owner = 0;
      mutex.recursion = 0;
      mutex.abandoned = true;
    }
  }
  for (HANDLE handle : process.handles) {
    auto entry = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (entry != handles_.end() && entry->second.open) {
      entry->second.open = false;
      auto mutex = mutexes.find(entry->second.mutex_name);
      if (entry->second.kind == HandleEntry::kMutex && mutex != mutexes.end() &&
          --mutex->second.handles == 0) {
        mutexes.erase(mutex);
      }
    }
  }
  process.handles.clear();
  for (auto& [hwnd, window] : windows) {
    if (window.process == id) {
      window.alive = false;
    }
  }
  if (File* file = fs.Find(process.image)) {
    file->image_locks.erase(ProcessLock(id));
  }
}

HWND SimWindows::CreateWindowFor(int process, const std::wstring& class_name,
                                 const std::wstring& title) {
  HWND hwnd = reinterpret_cast<HWND>(next_window_);
  next_window_ += 0x12;
  windows[hwnd] = Window{class_name, title, process, true, {}, {}};
  return hwnd;
}

void SimWindows::DestroyWindow(HWND window) {
  auto found = windows.find(window);
  if (found != windows.end()) {
    found->second.alive = false;
  }
}

HANDLE SimWindows::ProcessCreateMutex(int process, const std::string& name, bool owned) {
  Mutex& mutex = mutexes[name];
  mutex.name = name;
  ++mutex.handles;
  if (owned && mutex.owner == 0) {
    mutex.owner = process;
    mutex.recursion = 1;
  }
  HandleEntry entry{HandleEntry::kMutex};
  entry.process = process;
  entry.mutex_name = name;
  HANDLE handle = NewHandle(entry);
  processes[process].handles.push_back(handle);
  return handle;
}

void SimWindows::ProcessReleaseMutex(int process, const std::string& name) {
  auto found = mutexes.find(name);
  if (found != mutexes.end() && found->second.owner == process) {
    found->second.owner = 0;
    found->second.recursion = 0;
  }
}

HANDLE SimWindows::ProcessOpenFile(int process, const std::wstring& path, DWORD access,
                                   DWORD share) {
  HandleEntry entry{HandleEntry::kFile};
  entry.process = process;
  entry.path = path;
  entry.access = access;
  entry.share = share;
  HANDLE handle = NewHandle(entry);
  processes[process].handles.push_back(handle);
  return handle;
}

void SimWindows::Restart() {
  for (auto& [id, process] : processes) {
    if (id != 1) {
      EndProcess(id);
    }
  }
  // The system carries out the queued operations before anything is loaded.
  for (auto& [key, file] : fs.files) {
    file.second.image_locks.clear();
  }
  if (const RegValue* queue = registry.Get(kSessionManagerKey, kPendingRenamesValue)) {
    std::wstring all(queue->data.size() / sizeof(wchar_t), L'\0');
    std::memcpy(all.data(), queue->data.data(), all.size() * sizeof(wchar_t));
    std::vector<std::wstring> strings;
    for (size_t start = 0; start < all.size();) {
      size_t end = all.find(L'\0', start);
      if (end == std::wstring::npos) {
        end = all.size();
      }
      strings.push_back(all.substr(start, end - start));
      start = end + 1;
    }
    for (size_t i = 0; i + 1 < strings.size(); i += 2) {
      std::wstring source = strings[i], target = strings[i + 1];
      if (source.empty()) {
        break;
      }
      if (target.empty()) {
        fs.Remove(source);
      } else if (File* file = fs.Find(source)) {
        File moved = *file;
        fs.Remove(source);
        fs.Put(target[0] == L'!' ? target.substr(1) : target) = moved;
      }
    }
    registry.Delete(kSessionManagerKey, kPendingRenamesValue);
  }
  spooler_service.state = SERVICE_RUNNING;
  OnSpoolerStarted();
}

// ---------------------------------------------------------------- windows

HWND SimWindows::FindWindowW(LPCWSTR class_name, LPCWSTR title) {
  if (auto error = Enter("FindWindowW")) {
    Fail(*error);
    return nullptr;
  }
  // The most recently created window is the topmost.
  for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
    const Window& window = it->second;
    if (window.alive && (class_name == nullptr || Fold(class_name) == Fold(window.class_name)) &&
        (title == nullptr || Fold(title) == Fold(window.title))) {
      return it->first;
    }
  }
  return nullptr;
}

BOOL SimWindows::PostMessageW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (auto error = Enter("PostMessageW", std::to_string(message))) {
    return Fail(*error);
  }
  auto found = windows.find(hwnd);
  if (found == windows.end() || !found->second.alive) {
    return Fail(ERROR_INVALID_WINDOW_HANDLE);
  }
  Message posted{message, wparam, lparam, clock.now};
  found->second.received.push_back(posted);
  if (found->second.on_message) {
    auto handler = found->second.on_message;  // the handler may change the window table
    handler(posted);
  }
  return TRUE;
}

BOOL SimWindows::IsWindow(HWND hwnd) {
  Enter("IsWindow");
  auto found = windows.find(hwnd);
  return found != windows.end() && found->second.alive;
}

SHORT SimWindows::GetAsyncKeyState(int key) {
  Enter("GetAsyncKeyState");
  return key == VK_SHIFT && shift_down ? static_cast<SHORT>(0x8000) : 0;
}

INT_PTR SimWindows::DialogBoxParamW(HINSTANCE instance, LPCWSTR name, HWND owner, DLGPROC procedure,
                                    LPARAM parameter) {
  if (auto error = Enter("DialogBoxParamW")) {
    Fail(*error);
    return -1;
  }
  DialogRun run{instance,
                IS_INTRESOURCE(name) ? L"#" + std::to_wstring(reinterpret_cast<uintptr_t>(name))
                                     : std::wstring(name),
                owner,
                parameter,
                {},
                {},
                -1,
                false};
  if (run.template_name != L"#101") {
    Fail(ERROR_RESOURCE_NAME_NOT_FOUND);
    return -1;
  }
  if (owner != nullptr && (windows.count(owner) == 0 || !windows[owner].alive)) {
    Fail(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  std::vector<int> script = {IDOK};
  if (!dialog_scripts.empty()) {
    script = dialog_scripts.front();
    dialog_scripts.erase(dialog_scripts.begin());
  }
  dialogs.push_back(run);
  size_t index = dialogs.size() - 1;
  HWND hwnd = CreateWindowFor(1, L"#32770", L"");
  open_dialogs_[hwnd] = index;
  procedure(hwnd, WM_INITDIALOG, 0, parameter);
  for (int command : script) {
    if (dialogs[index].ended) {
      break;
    }
    procedure(hwnd, WM_COMMAND, MAKEWPARAM(command, BN_CLICKED), 0);
  }
  if (!dialogs[index].ended) {
    violations.push_back("the modal dialog never ended: it would wait for the user for ever");
  }
  open_dialogs_.erase(hwnd);
  DestroyWindow(hwnd);
  return dialogs[index].result;
}

BOOL SimWindows::EndDialog(HWND hwnd, INT_PTR result) {
  Enter("EndDialog", std::to_string(result));
  auto found = open_dialogs_.find(hwnd);
  if (found == open_dialogs_.end()) {
    return Fail(ERROR_INVALID_WINDOW_HANDLE);
  }
  dialogs[found->second].ended = true;
  dialogs[found->second].result = result;
  return TRUE;
}

BOOL SimWindows::SetDlgItemTextW(HWND hwnd, int item, LPCWSTR text) {
  if (auto error = Enter("SetDlgItemTextW", std::to_string(item))) {
    return Fail(*error);
  }
  auto found = open_dialogs_.find(hwnd);
  if (found == open_dialogs_.end()) {
    return Fail(ERROR_INVALID_WINDOW_HANDLE);
  }
  if (item != 1 && item != 1001) {
    return Fail(ERROR_CONTROL_ID_NOT_FOUND);
  }
  dialogs[found->second].item_texts[item] = text != nullptr ? text : L"";
  return TRUE;
}

BOOL SimWindows::SetWindowTextW(HWND hwnd, LPCWSTR text) {
  if (auto error = Enter("SetWindowTextW")) {
    return Fail(*error);
  }
  auto dialog = open_dialogs_.find(hwnd);
  if (dialog != open_dialogs_.end()) {
    dialogs[dialog->second].title = text != nullptr ? text : L"";
    return TRUE;
  }
  auto window = windows.find(hwnd);
  if (window == windows.end() || !window->second.alive) {
    return Fail(ERROR_INVALID_WINDOW_HANDLE);
  }
  window->second.title = text != nullptr ? text : L"";
  return TRUE;
}

// ---------------------------------------------------------------- mutexes and waits

HANDLE SimWindows::CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL owned, LPCSTR name) {
  if (auto error = Enter("CreateMutexA", name ? name : "")) {
    Fail(*error);
    return nullptr;
  }
  // Object names are case-sensitive.
  std::string key = name != nullptr ? name : "<unnamed " + std::to_string(next_handle_) + ">";
  bool existed = mutexes.count(key) != 0;
  Mutex& mutex = mutexes[key];
  mutex.name = key;
  ++mutex.handles;
  if (!existed && owned) {
    mutex.owner = 1;
    mutex.recursion = 1;
  }
  HandleEntry entry{HandleEntry::kMutex};
  entry.mutex_name = key;
  last_error_ = existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
  return NewHandle(entry);
}

DWORD SimWindows::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (auto error = Enter("WaitForSingleObject", std::to_string(milliseconds))) {
    Fail(*error);
    return WAIT_FAILED;
  }
  auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
  if (found == handles_.end() || !found->second.open || found->second.process != 1) {
    Fail(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  HandleEntry entry = found->second;
  // Whether the object is signalled now; takes a free mutex.
  auto try_take = [&](DWORD* result) {
    if (entry.kind == HandleEntry::kMutex) {
      Mutex& mutex = mutexes[entry.mutex_name];
      if (mutex.owner == 0 || mutex.owner == 1) {
        *result = mutex.abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
        mutex.abandoned = false;
        mutex.owner = 1;
        ++mutex.recursion;
        return true;
      }
      return false;
    }
    if (entry.kind == HandleEntry::kProcess || entry.kind == HandleEntry::kThread) {
      *result = WAIT_OBJECT_0;
      return !processes[entry.target_process].running;
    }
    *result = WAIT_OBJECT_0;
    return true;
  };
  uint64_t deadline = milliseconds == INFINITE ? UINT64_MAX : clock.now + milliseconds;
  for (;;) {
    DWORD result = WAIT_FAILED;
    if (try_take(&result)) {
      return result;
    }
    auto next = clock.NextEvent();
    if (next && *next <= deadline) {
      clock.AdvanceTo(*next);
      continue;
    }
    if (milliseconds == INFINITE) {
      violations.push_back("WaitForSingleObject(INFINITE) on an object nothing will signal");
      return WAIT_FAILED;
    }
    clock.AdvanceTo(deadline);
    return WAIT_TIMEOUT;
  }
}

BOOL SimWindows::CreateProcessW(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES,
                                LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                                LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
  std::wstring line = command_line != nullptr ? command_line : L"";
  if (auto error = Enter("CreateProcessW", Narrow(line))) {
    return Fail(*error);
  }
  if (startup == nullptr || info == nullptr || startup->cb < sizeof(STARTUPINFOW)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  std::wstring image = ImageOf(application, line);
  if (fs.Find(image) == nullptr) {
    size_t slash = fs.Key(image).rfind(L'\\');
    bool directory =
        slash != std::wstring::npos && fs.DirectoryExists(fs.Key(image).substr(0, slash));
    return Fail(directory ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
  }
  int id = StartProcess(image, line);
  HandleEntry process{HandleEntry::kProcess};
  process.target_process = id;
  HandleEntry thread{HandleEntry::kThread};
  thread.target_process = id;
  info->hProcess = NewHandle(process);
  info->hThread = NewHandle(thread);
  info->dwProcessId = static_cast<DWORD>(id * 4);
  info->dwThreadId = static_cast<DWORD>(id * 4 + 2);
  auto launcher = programs.find(Fold(FileNameOf(image)));
  if (launcher != programs.end()) {
    launcher->second(id);
  }
  return TRUE;
}

BOOL SimWindows::GetVersionExA(LPOSVERSIONINFOA version) {
  if (auto error = Enter("GetVersionExA")) {
    return Fail(*error);
  }
  if (version == nullptr || (version->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) &&
                             version->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXA))) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  version->dwMajorVersion = os_version.dwMajorVersion;
  version->dwMinorVersion = os_version.dwMinorVersion;
  version->dwBuildNumber = os_version.dwBuildNumber;
  version->dwPlatformId = os_version.dwPlatformId;
  std::memcpy(version->szCSDVersion, os_version.szCSDVersion, sizeof(version->szCSDVersion));
  return TRUE;
}

// ---------------------------------------------------------------- command line

LPWSTR SimWindows::GetCommandLineW() {
  Enter("GetCommandLineW");
  command_line_storage_ = command_line;
  return command_line_storage_.data();
}

LPWSTR* SimWindows::CommandLineToArgvW(LPCWSTR line, int* count) {
  if (auto error = Enter("CommandLineToArgvW")) {
    Fail(*error);
    return nullptr;
  }
  if (line == nullptr || count == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // The splitting rules are the platform's own; only the program path that an
  // empty line yields comes from the model.
  std::vector<std::wstring> arguments;
  if (line[0] == 0) {
    arguments.push_back(module_path);
  } else {
    int real_count = 0;
    LPWSTR* real = ::CommandLineToArgvW(line, &real_count);
    for (int i = 0; i < real_count; ++i) {
      arguments.push_back(real[i]);
    }
    ::LocalFree(real);
  }
  size_t bytes = (arguments.size() + 1) * sizeof(LPWSTR);
  for (const auto& argument : arguments) {
    bytes += (argument.size() + 1) * sizeof(wchar_t);
  }
  auto* block = static_cast<unsigned char*>(
      Allocate(Block::kLocal, bytes, true, "CommandLineToArgvW", /*counted=*/false));
  auto** vector = reinterpret_cast<LPWSTR*>(block);
  auto* text = reinterpret_cast<wchar_t*>(block + (arguments.size() + 1) * sizeof(LPWSTR));
  for (size_t i = 0; i < arguments.size(); ++i) {
    vector[i] = text;
    std::memcpy(text, arguments[i].c_str(), (arguments[i].size() + 1) * sizeof(wchar_t));
    text += arguments[i].size() + 1;
  }
  *count = static_cast<int>(arguments.size());
  return vector;
}

BOOL SimWindows::SetDefaultDllDirectories(DWORD flags) {
  if (auto error = Enter("SetDefaultDllDirectories")) {
    return Fail(*error);
  }
  constexpr DWORD kValid = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                           LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
  if (flags == 0 || (flags & ~kValid) != 0) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  dll_directories = flags;
  return TRUE;
}

}  // namespace sim
