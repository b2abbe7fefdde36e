#include "sim/machine_text.h"

#include <algorithm>
#include <cwchar>

namespace sim {
namespace {

struct Line {
  std::vector<std::wstring> words;                  // the kind, then the positional words
  std::map<std::wstring, std::wstring> attributes;  // key=value, unquoted keys of a to z and '-'

  const std::wstring& operator[](size_t i) const {
    static const std::wstring none;
    return i < words.size() ? words[i] : none;
  }
  bool Has(const wchar_t* key) const { return attributes.count(key) != 0; }
  std::wstring Get(const wchar_t* key, const wchar_t* otherwise = L"") const {
    auto found = attributes.find(key);
    return found != attributes.end() ? found->second : otherwise;
  }
  int64_t Number(const wchar_t* key, int64_t otherwise) const {
    return Has(key) ? std::wcstoll(Get(key).c_str(), nullptr, 0) : otherwise;
  }
};

Line Parse(const std::wstring& text) {
  Line line;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == L' ') {
      ++i;
      continue;
    }
    std::wstring word;
    bool quoted = false, positional = text[i] == L'"';
    for (; i < text.size() && (quoted || text[i] != L' '); ++i) {
      if (quoted && text.compare(i, 2, L"\"\"") == 0) {
        word += text[i++];
      } else if (text[i] == L'"') {
        quoted = !quoted;
      } else {
        word += text[i];
      }
    }
    size_t equals = word.find(L'=');
    bool attribute = !positional && equals != std::wstring::npos && equals > 0 &&
                     std::all_of(word.begin(), word.begin() + equals,
                                 [](wchar_t c) { return (c >= L'a' && c <= L'z') || c == L'-'; });
    if (attribute) {
      line.attributes[word.substr(0, equals)] = word.substr(equals + 1);
    } else {
      line.words.push_back(word);
    }
  }
  return line;
}

std::string Narrow(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}

// A quote inside a quoted text is written twice.
std::wstring Quote(const std::wstring& text) {
  std::wstring quoted = L"\"";
  for (wchar_t c : text) {
    quoted += c == L'"' ? L"\"\"" : std::wstring(1, c);
  }
  return quoted + L"\"";
}

std::wstring Hex(const std::string& bytes) {
  static const wchar_t digits[] = L"0123456789ABCDEF";
  std::wstring text;
  for (unsigned char c : bytes) {
    text += {digits[c >> 4], digits[c & 15]};
  }
  return text;
}

// A value's type and data from the words from `at` on: sz "text", expand
// "text", multi "a" "b" ..., dword N, or hex TYPE BYTES. Texts of printer
// data are narrow, registry texts wide.
Value ParseValue(const Line& line, size_t at, bool wide) {
  auto encode = [wide](const std::wstring& text) {
    std::string bytes;
    for (wchar_t c : text + L'\0') {
      bytes += static_cast<char>(c);
      if (wide) {
        bytes += static_cast<char>(c >> 8);
      }
    }
    return bytes;
  };
  const std::wstring& form = line[at];
  if (form == L"multi") {
    std::string bytes;
    for (size_t i = at + 1; i < line.words.size(); ++i) {
      bytes += encode(line[i]);
    }
    return {REG_MULTI_SZ, bytes + encode(L"")};
  }
  if (form == L"dword") {
    DWORD number = static_cast<DWORD>(std::wcstoul(line[at + 1].c_str(), nullptr, 0));
    return {REG_DWORD, std::string(reinterpret_cast<const char*>(&number), 4)};
  }
  if (form == L"hex") {
    std::string bytes;
    for (size_t i = 0; i + 1 < line[at + 2].size(); i += 2) {
      bytes += static_cast<char>(std::wcstoul(line[at + 2].substr(i, 2).c_str(), nullptr, 16));
    }
    return {static_cast<DWORD>(std::wcstoul(line[at + 1].c_str(), nullptr, 0)), bytes};
  }
  return {form == L"expand" ? DWORD{REG_EXPAND_SZ} : DWORD{REG_SZ}, encode(line[at + 1])};
}

std::wstring ShowValue(const Value& value, bool wide) {
  size_t unit = wide ? 2 : 1;
  std::wstring text;
  for (size_t i = 0; i + unit <= value.data.size(); i += unit) {
    unsigned char low = value.data[i], high = wide ? value.data[i + 1] : 0;
    text += static_cast<wchar_t>(low | high << 8);
  }
  bool whole = value.data.size() % unit == 0 && !text.empty() && text.back() == 0;
  if (whole && (value.type == REG_SZ || value.type == REG_EXPAND_SZ) &&
      text.find(L'\0') == text.size() - 1) {
    return (value.type == REG_SZ ? L"sz " : L"expand ") + Quote(text.substr(0, text.size() - 1));
  }
  if (whole && value.type == REG_MULTI_SZ && text.size() >= 2 && text[text.size() - 2] == 0) {
    std::wstring shown = L"multi";
    for (size_t start = 0; start + 1 < text.size();) {
      size_t end = text.find(L'\0', start);
      shown += L" " + Quote(text.substr(start, end - start));
      start = end + 1;
    }
    return shown;
  }
  if (value.type == REG_DWORD && value.data.size() == 4) {
    return L"dword " + std::to_wstring(*reinterpret_cast<const DWORD*>(value.data.data()));
  }
  return L"hex " + std::to_wstring(value.type) + L" " + Hex(value.data);
}

Printer* FindPrinter(Sim& sim, const std::wstring& name) {
  for (Printer& printer : sim.printers) {
    if (printer.name == name) {
      return &printer;
    }
  }
  return nullptr;
}

const wchar_t* const kStates[] = {L"", L"stopped", L"start-pending", L"stop-pending", L"running"};

}  // namespace

bool Load(Sim& sim, const std::wstring& text) {
  Line line = Parse(text);
  const std::wstring& kind = line[0];
  if (kind == L"file") {
    File& file = sim.Put(line[1], Narrow(line.Get(L"bytes")));
    file.lock = Narrow(line.Get(L"lock"));
    file.until = line.Number(L"until", 0);
  } else if (kind == L"dir") {  // putting a file makes its folders
    sim.Put(line[1] + L"\\x");
    sim.Remove(line[1] + L"\\x");
  } else if (kind == L"gone") {
    sim.Remove(line[1]);
  } else if (kind == L"gone-monitor") {
    std::erase_if(sim.monitors, [&](const Monitor& monitor) { return monitor.name == line[1]; });
  } else if (kind == L"gone-key") {
    sim.registry.erase(line[1]);
  } else if (kind == L"key") {
    sim.registry[line[1]];
  } else if (kind == L"reg") {
    sim.SetReg(line[1], line[2], ParseValue(line, 3, true));
  } else if (kind == L"service") {
    for (DWORD state = 1; state <= 4; ++state) {
      sim.service = line.Get(L"state") == kStates[state] ? state : sim.service;
    }
    sim.start_time = line.Number(L"start", 80);
    sim.stop_time = line.Number(L"stop", 30);
    sim.stop_refusal = static_cast<DWORD>(line.Number(L"refuse-stop", 0));
  } else if (kind == L"spooler") {
    sim.monitor_stays_loaded = line[1] == L"keeps-monitor-loaded";
  } else if (kind == L"monitor") {
    sim.monitors.push_back({line[1], line.Get(L"dll"), line.Get(L"ports", line[1].c_str())});
    sim.SpoolerStarted();
  } else if (kind == L"driver") {
    sim.drivers.push_back({line[1], line.Get(L"env", L"Windows x64"), line.Get(L"driver"),
                           line.Get(L"data"), line.Get(L"config"), line.Get(L"help"),
                           line.Get(L"maker"), line.Get(L"url"), line.Get(L"provider")});
  } else if (kind == L"printer") {
    Printer printer{line[1],
                    line.Get(L"port"),
                    line.Get(L"driver"),
                    line.Get(L"comment"),
                    line.Get(L"location"),
                    line.Get(L"processor", L"WinPrint"),
                    line.Get(L"datatype", L"RAW")};
    printer.attributes = static_cast<DWORD>(line.Number(L"attributes", PRINTER_ATTRIBUTE_LOCAL));
    printer.jobs = static_cast<int>(line.Number(L"jobs", 0));
    sim.printers.push_back(printer);
  } else if (kind == L"data" && FindPrinter(sim, line[1]) != nullptr) {
    FindPrinter(sim, line[1])->data[line[2]] = ParseValue(line, 3, false);
  } else if (kind == L"default") {
    sim.default_printer = line[1];
  } else if (kind == L"tray" || kind == L"tray-program") {
    TrayBehaviour behaviour{line.Number(L"window-after", 0), line.Number(L"exit-after", 100),
                            line.Has(L"abandons")};
    if (kind == L"tray") {
      sim.StartTray(line[1], behaviour);
    } else {
      sim.tray_program = behaviour;
    }
  } else if (kind == L"help") {
    sim.OpenHelp(line[1], line.Number(L"closes-after", 2000));
  } else if (kind == L"window") {
    HWND window = sim.AddWindow(0, line[1], line[2]);
    if (line.Has(L"handle")) {  // a window at a given handle, for the limits of window numbers
      auto at = reinterpret_cast<HWND>(static_cast<intptr_t>(line.Number(L"handle", 0)));
      sim.windows[at] = sim.windows[window];
      sim.windows.erase(window);
    }
  } else if (kind == L"shift") {
    sim.shift = true;
  } else if (kind == L"user") {
    sim.user = line[1] == L"escape" ? DialogUser::kEscape : DialogUser::kNothing;
  } else if (kind == L"windows") {  // windows MAJOR.MINOR
    wchar_t* minor = nullptr;
    sim.windows_version = std::wcstoul(line[1].c_str(), &minor, 10) << 8;
    sim.windows_version |= std::wcstoul(minor + (*minor == L'.'), nullptr, 10);
  } else if (kind == L"module") {
    sim.module = line[1];
  } else if (kind == L"system") {
    sim.system = line[1];
  } else if (kind == L"ticks") {
    sim.tick_base = static_cast<DWORD>(std::wcstoul(line[1].c_str(), nullptr, 0));
  } else if (kind == L"fail") {
    sim.faults.push_back({Narrow(line[1]), static_cast<int>(line.Number(L"nth", 1)),
                          static_cast<int>(line.Number(L"times", 1)),
                          static_cast<DWORD>(line.Number(L"error", 0))});
  } else if (kind == L"slow") {
    sim.durations[Narrow(line[1])] = std::wcstoll(line[2].c_str(), nullptr, 0);
  } else if (kind == L"out-of-memory") {
    sim.alloc_fail_nth = static_cast<int>(line.Number(L"nth", 1));
    sim.alloc_fail_times = static_cast<int>(line.Number(L"times", 1));
  } else {
    return kind.empty() || kind[0] == L'#';
  }
  return true;
}

std::vector<std::wstring> Dump(Sim& sim) {
  std::vector<std::wstring> lines;
  auto add = [&lines](std::wstring line,
                      const std::vector<std::pair<const wchar_t*, std::wstring>>& attributes) {
    for (const auto& [key, value] : attributes) {
      if (!value.empty()) {
        bool blank = value.find(L' ') != std::wstring::npos;
        line += L" " + std::wstring(key) + L"=" + (blank ? Quote(value) : value);
      }
    }
    lines.push_back(line);
  };
  for (const auto& [key, file] : sim.files) {
    if (!file.folder) {
      add(L"file " + Quote(key),
          {{L"bytes", std::wstring(file.bytes.begin(), file.bytes.end())},
           {L"lock", sim.Locked(file) ? std::wstring(file.lock.begin(), file.lock.end()) : L""}});
    }
  }
  for (const auto& [key, values] : sim.registry) {
    for (const auto& [name, value] : values) {
      lines.push_back(L"reg " + Quote(key) + L" " + Quote(name) + L" " + ShowValue(value, true));
    }
  }
  add(L"service", {{L"state", kStates[sim.service]},
                   {L"starts", sim.service_starts ? std::to_wstring(sim.service_starts) : L""},
                   {L"stops", sim.service_stops ? std::to_wstring(sim.service_stops) : L""}});
  for (const Monitor& monitor : sim.monitors) {
    add(L"monitor " + Quote(monitor.name),
        {{L"dll", monitor.dll}, {L"ports", monitor.ports != monitor.name ? monitor.ports : L""}});
  }
  for (const Driver& driver : sim.drivers) {
    add(L"driver " + Quote(driver.name), {{L"env", driver.env},
                                          {L"driver", driver.driver},
                                          {L"data", driver.data},
                                          {L"config", driver.config},
                                          {L"help", driver.help},
                                          {L"maker", driver.maker},
                                          {L"url", driver.url},
                                          {L"provider", driver.provider}});
  }
  for (const Printer& printer : sim.printers) {
    add(L"printer " + Quote(printer.name),
        {{L"port", printer.port},
         {L"driver", printer.driver},
         {L"comment", printer.comment},
         {L"location", printer.location},
         {L"processor", printer.processor != L"WinPrint" ? printer.processor : L""},
         {L"datatype", printer.datatype != L"RAW" ? printer.datatype : L""},
         {L"jobs", printer.jobs ? std::to_wstring(printer.jobs) : L""},
         {L"attributes", printer.attributes != PRINTER_ATTRIBUTE_LOCAL
                             ? std::to_wstring(printer.attributes)
                             : L""}});
    for (const auto& [key, value] : printer.data) {
      lines.push_back(L"data " + Quote(printer.name) + L" " + Quote(key) + L" " +
                      ShowValue(value, false));
    }
  }
  if (!sim.default_printer.empty()) {
    lines.push_back(L"default " + Quote(sim.default_printer));
  }
  for (const auto& [id, command_line] : sim.processes) {
    lines.push_back(L"process " + Quote(command_line));
  }
  for (const auto& [handle, window] : sim.windows) {
    lines.push_back(L"window " + Quote(window.class_name) + L" " + Quote(window.title));
  }
  if (sim.dll_directories != 0) {
    wchar_t flags[16];
    std::swprintf(flags, 16, L"0x%X", sim.dll_directories);
    lines.push_back(std::wstring(L"dll-directories ") + flags);
  }
  return lines;
}

}  // namespace sim
