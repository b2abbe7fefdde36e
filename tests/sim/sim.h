// The simulated Windows: a small model of the parts of Windows the program
// touches, installed behind the seam for one run. It answers with the
// platform's return values and error codes, runs on a virtual clock, fails
// any call or allocation on request, and catches leaked or double-closed
// handles, leaked blocks and waits without end (`violations`).
//
// Its whole state is a list of objects, each a kind, a name and named
// values, so that one small text language (Load, Dump) arranges a machine
// before a run and describes it after one:
//
//   file "C:\Windows\system32\kvnmon64.dll" bytes="old version=2542" lock=spooler
//   monitor "Lumenquill:" dll=kvnmon64.dll
//   printer "Mine" port=Lumenquill: driver="Lumenquill printer" comment="2nd floor"
//   data "Mine|PrinterDriverData\SubKey" sz "u1\a"
//   value "HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run|LumenquillTray" sz "C:\x.exe"
//   service "spooler" state=stopped start=-1
//   fail "DeletePrinterDriverExW" times=2 error=3001
//   link "C:\Users\Me\Temp\x" to="C:\Windows"
//   at 5 value "HKLM\...|PendingFileRenameOperations" multi ...   (another program, 5 ms on)
//
// A file's version resource is written into its bytes, so that copies carry
// it: "version=2542" is the build 2542, "version=2542/40" a resource whose
// fixed part holds only 40 bytes. File locks: "spooler" (loaded by the
// spooler), "p<id>" (a running program's image), "open" (held open by a
// program); "until" ends one.
// Programs: "tray" (window-after, exit-after, abandons) and "help" (a viewer
// that closes closes-after ms after it is asked to, never when negative).
// The program's own process: "machine stdout=file|pipe|console" (the
// standard output its caller gave it), "station=hidden" (a service's window
// station), "started=hidden" (its first ShowWindow hides the window).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/system_api.h"

namespace sim {

// A to Z upper-cased, as the platform compares names.
inline std::wstring Fold(std::wstring text) {
  for (wchar_t& c : text) {
    c = c >= L'a' && c <= L'z' ? c - 32 : c;
  }
  return text;
}

// From a drive's root or a share.
inline bool FullPath(const std::wstring& path) {
  return (path.size() > 2 && path[1] == L':' && path[2] == L'\\') || path.rfind(L"\\\\", 0) == 0;
}

inline std::wstring Parent(const std::wstring& path) {
  size_t cut = path.rfind(L'\\');
  return cut == std::wstring::npos ? L"" : path.substr(0, cut);
}

// The full path: a relative one is taken from the current directory, as the
// platform would, and a doubled backslash is one.
inline std::wstring Key(std::wstring path) {
  std::replace(path.begin(), path.end(), L'/', L'\\');
  path = FullPath(path) ? path : L"C:\\Users\\Me\\" + path;
  for (size_t at = path.find(L"\\\\", 1); at != std::wstring::npos; at = path.find(L"\\\\", 1)) {
    path.erase(at, 1);
  }
  return path;
}

// Stored bytes, one to a character: UTF-16LE when `wide` (the registry's
// texts), else one byte a character (printer data).
inline std::wstring Encode(const std::wstring& text, bool wide) {
  std::wstring bytes;
  for (wchar_t c : text) {
    bytes += wide ? std::wstring{static_cast<wchar_t>(c & 0xFF), static_cast<wchar_t>(c >> 8)}
                  : std::wstring(1, c);
  }
  return bytes;
}

inline std::wstring Decode(const std::wstring& bytes, bool wide) {
  size_t unit = wide ? 2 : 1;
  std::wstring text;
  for (size_t i = 0; i + unit <= bytes.size(); i += unit) {
    text += static_cast<wchar_t>(bytes[i] | (wide ? bytes[i + 1] << 8 : 0));
  }
  return text;
}

// The parts between NULs.
inline std::vector<std::wstring> Strings(const std::wstring& text) {
  std::vector<std::wstring> strings;
  for (size_t start = 0, end = 0; start < text.size(); start = end + 1) {
    end = std::min(text.find(L'\0', start), text.size());
    strings.push_back(text.substr(start, end - start));
  }
  return strings;
}

struct Object {
  std::wstring kind, name;
  std::map<std::wstring, std::wstring> values;

  const std::wstring& operator[](const std::wstring& key) const {  // empty when absent
    static const std::wstring nothing;
    auto found = values.find(key);
    return found != values.end() ? found->second : nothing;
  }
  std::wstring& operator[](const std::wstring& key) { return values[key]; }
  int64_t Number(const std::wstring& key, int64_t otherwise = 0) const {
    const std::wstring& text = (*this)[key];
    return text.empty() ? otherwise : std::wcstoll(text.c_str(), nullptr, 0);
  }
};

// The user in front of the log dialog, and what the dialog showed.
struct DialogSeen {
  HWND owner;
  std::wstring title, text;
  INT_PTR result = -1;
};

// The tray companion's mutex, and the queue of operations for the next restart.
inline constexpr wchar_t kTrayMutex[] = L"{3F6D2C81-7B4E-4A19-9C55-1E2D8A0B7F46}";
inline constexpr wchar_t kQueue[] =
    L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager|"
    L"PendingFileRenameOperations";

// The machine: its state and what arranges or inspects it. It is the seam
// too: New() gives one whose calls (sim.cpp) answer from that state.
class Sim : public platform::SystemApi {
 public:
  static std::unique_ptr<Sim> New();
  virtual void SetCommandLine(std::wstring line) = 0;  // a new process
  // Handles and blocks still held, and violations.
  virtual std::vector<std::string> Leaks() const = 0;

  std::list<Object> objects;  // in the order they were made
  uint64_t now = 0;
  std::multimap<uint64_t, std::function<void()>> events;  // what other programs do, and when
  std::vector<DialogSeen> dialogs;
  int failable = 0, allocations = 0;  // counted so far
  std::vector<std::string> failed;    // the calls made to fail
  std::vector<std::string> violations;
  std::string output;  // what the program wrote to the standard output it was given

  Object* Find(const std::wstring& kind, const std::wstring& name) {  // names compared folded
    for (Object& object : objects) {
      if (object.kind == kind && Fold(object.name) == Fold(name)) {
        return &object;
      }
    }
    return nullptr;
  }
  Object& Make(const std::wstring& kind, const std::wstring& name) {  // found, or made
    Object* found = Find(kind, name);
    return found != nullptr ? *found : objects.emplace_back(Object{kind, name});
  }
  void Erase(const std::wstring& kind, const std::wstring& name) {
    objects.remove_if(
        [&](const Object& o) { return o.kind == kind && Fold(o.name) == Fold(name); });
  }
  std::vector<Object*> Each(const std::wstring& kind) {
    std::vector<Object*> found;
    for (Object& object : objects) {
      if (object.kind == kind) {
        found.push_back(&object);
      }
    }
    return found;
  }
  Object& Machine() { return Make(L"machine", L""); }  // settings: shift, module, system, ...
  bool Locked(const Object& file) const {
    return !file[L"lock"].empty() &&
           (file.Number(L"until") == 0 || now < uint64_t(file.Number(L"until")));
  }
  static std::wstring Name(const void* handle) {  // a handle's number, as a window's name
    return std::to_wstring(reinterpret_cast<intptr_t>(handle));
  }

  void Advance(uint64_t until) {  // runs the events due until then
    while (!events.empty() && events.begin()->first <= until) {
      auto event = events.begin();
      now = std::max(now, event->first);
      auto action = std::move(event->second);
      events.erase(event);
      action();
    }
    now = std::max(now, until);
  }

  // A file, and its folders.
  Object& Put(const std::wstring& path, const std::wstring& bytes = {}) {
    std::wstring key = Key(path);
    for (std::wstring folder = Parent(key); folder.size() > 2; folder = Parent(folder)) {
      Make(L"dir", folder);
    }
    Object& file = Make(L"file", key);
    file[L"bytes"] = bytes;
    return file;
  }

  // The file a path names, or null.
  Object* FileAt(const std::wstring& path) { return Find(L"file", Key(path)); }

  // A running spooler holds the DLL of every monitor; a stopped one holds none.
  void Spooler(bool running) {
    Make(L"service", L"spooler")[L"state"] = running ? L"running" : L"stopped";
    for (Object* file : Each(L"file")) {
      (*file)[L"lock"] = (*file)[L"lock"] == L"spooler" ? L"" : (*file)[L"lock"];
    }
    for (Object* monitor : Each(L"monitor")) {
      Object* dll = FileAt(Machine()[L"system"] + L"\\" + (*monitor)[L"dll"]);
      if (running && dll != nullptr && (*dll)[L"lock"].empty()) {
        (*dll)[L"lock"] = L"spooler";
      }
    }
  }

  // A program runs from its image, which it holds; a tray companion takes the
  // tray's mutex and shows its window, a help viewer shows its window.
  int Start(const std::wstring& image, const std::wstring& line, Object settings = {}) {
    std::wstring id = std::to_wstring(next_process_++);
    Object& process = Make(L"process", id);
    process.values = settings.values;
    process[L"command"] = line;
    Object* file = Find(L"file", Key(image));
    if (file != nullptr && (*file)[L"lock"].empty()) {
      (*file)[L"lock"] = L"p" + id;
    }
    // A program of another session has its mutex and its windows there.
    bool here = process[L"session"].empty();
    if (process[L"role"] == L"tray" && here) {
      Object& mutex = Make(L"mutex", kTrayMutex);
      mutex[L"owner"] = mutex[L"owner"].empty() ? id : mutex[L"owner"];
    }
    std::wstring title = process[L"role"] == L"help" ? process[L"title"] : L"";
    std::wstring window_class =
        process[L"role"] == L"help" ? L"HH Parent" : L"lqs::{6B0E4D27-91A3-4F58-B2C4-7D19E35A0C8B}";
    if (!process[L"role"].empty() && here) {
      events.emplace(now + process.Number(L"window-after"), [=, this] {
        if (Find(L"process", id) != nullptr) {
          Object& window = Make(L"window", std::to_wstring(0x20000 + 2 * std::stoi(id)));
          window.values = {{L"class", window_class}, {L"title", title}, {L"process", id}};
        }
      });
      Advance(now);
    }
    return std::stoi(id);
  }

  void End(std::wstring id) {
    if (Find(L"process", id) == nullptr) {
      return;  // it has ended already
    }
    Erase(L"process", id);
    for (Object* file : Each(L"file")) {
      (*file)[L"lock"] = (*file)[L"lock"] == L"p" + id ? L"" : (*file)[L"lock"];
    }
    objects.remove_if([&](const Object& o) { return o.kind == L"window" && o[L"process"] == id; });
    for (Object* mutex : Each(L"mutex")) {
      if ((*mutex)[L"owner"] == id) {
        (*mutex)[L"owner"] = L"";
        (*mutex)[L"abandoned"] = L"1";
      }
    }
  }

 private:
  int next_process_ = 2;
};

// Loads one line of the machine language; false when it means nothing.
bool Load(Sim& sim, const std::wstring& line);
// Every object as a line of the same language.
std::vector<std::wstring> Dump(const Sim& sim);
// A line's kind, name and value words, without its key=value pairs.
std::vector<std::wstring> Words(const std::wstring& line);

}  // namespace sim
