// The machine language of sim.h: a line is a kind, a quoted name, for
// registry values and printer data a value ("sz", "multi", "dword" or "hex"),
// then key=value pairs; a quote inside a quoted text is written twice.
#include <algorithm>
#include <cwchar>

#include "sim/sim.h"

namespace sim {
namespace {

struct Line {
  std::vector<std::wstring> words;  // the kind, the name, the value's words
  std::map<std::wstring, std::wstring> values;
};

Line Parse(const std::wstring& text) {
  Line line;
  for (size_t i = text.find_first_not_of(L' '); i < text.size();
       i = text.find_first_not_of(L' ', i)) {
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
    if (!positional && equals != std::wstring::npos && equals > 0 && word[0] >= L'a') {
      line.values[word.substr(0, equals)] = word.substr(equals + 1);
    } else {
      line.words.push_back(word);
    }
  }
  line.words.resize(std::max<size_t>(line.words.size(), 2));
  return line;
}

std::wstring Quote(const std::wstring& text) {
  std::wstring quoted = L"\"";
  for (wchar_t c : text) {
    quoted += c == L'"' ? L"\"\"" : std::wstring(1, c);
  }
  return quoted + L"\"";
}

void LoadValue(Object& value, const std::vector<std::wstring>& words, bool wide) {
  const std::wstring& form = words.size() > 2 ? words[2] : L"";
  DWORD type = form == L"multi" ? REG_MULTI_SZ : form == L"dword" ? REG_DWORD : REG_SZ;
  std::wstring bytes;
  for (size_t i = 3; i < words.size() && form != L"hex" && form != L"dword"; ++i) {
    bytes += Encode(words[i] + L'\0', wide);
  }
  bytes += form == L"multi" ? Encode(std::wstring(1, L'\0'), wide) : L"";
  if (form == L"dword") {
    DWORD number = static_cast<DWORD>(std::wcstoul(words[3].c_str(), nullptr, 0));
    bytes = Encode({wchar_t(number & 0xFFFF), wchar_t(number >> 16)}, true);
  }
  if (form == L"hex") {  // hex TYPE BYTES
    type = static_cast<DWORD>(std::wcstoul(words[3].c_str(), nullptr, 0));
    for (size_t i = 0; i + 1 < words[4].size(); i += 2) {
      bytes += static_cast<wchar_t>(std::wcstoul(words[4].substr(i, 2).c_str(), nullptr, 16));
    }
  }
  value[L"type"] = std::to_wstring(type);
  value[L"bytes"] = bytes;
}

std::wstring ShowValue(const Object& value, bool wide) {
  const std::wstring& bytes = value[L"bytes"];
  DWORD type = static_cast<DWORD>(value.Number(L"type"));
  std::wstring text = Decode(bytes, wide);
  bool whole = bytes.size() % (wide ? 2 : 1) == 0 && !text.empty() && text.back() == 0;
  if (whole && type == REG_SZ && text.find(L'\0') == text.size() - 1) {
    return L"sz " + Quote(text.substr(0, text.size() - 1));
  }
  if (whole && type == REG_MULTI_SZ && text.size() >= 2 && text[text.size() - 2] == 0) {
    std::wstring shown = L"multi";
    for (const std::wstring& string : Strings(text.substr(0, text.size() - 1))) {
      shown += L" " + Quote(string);
    }
    return shown;
  }
  if (type == REG_DWORD && bytes.size() == 4) {
    return L"dword " + std::to_wstring(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | bytes[3] << 24);
  }
  std::wstring hex = L"hex " + std::to_wstring(type) + L" ";
  for (wchar_t c : bytes) {
    wchar_t digits[3];
    std::swprintf(digits, 3, L"%02X", static_cast<unsigned>(c));
    hex += digits;
  }
  return hex;
}

// The order in which the kinds are shown; others are not shown.
const std::vector<std::wstring> kShown = {
    L"file",    L"value",   L"service", L"monitor", L"driver",     L"printer",      L"data",
    L"default", L"process", L"window",  L"machine", L"dll-search", L"dll-directory"};

}  // namespace

std::vector<std::wstring> Words(const std::wstring& line) {
  return Parse(line).words;
}

bool Load(Sim& sim, const std::wstring& text) {
  if (text.rfind(L"at ", 0) == 0) {  // "at MS LINE": what another program does MS ms from now
    uint64_t when = std::wcstoull(text.c_str() + 3, nullptr, 10);
    std::wstring later = text.substr(std::min(text.find(L' ', 3), text.size() - 1) + 1);
    sim.events.emplace(sim.now + when, [&sim, later] { Load(sim, later); });
    return true;
  }
  Line line = Parse(text);
  const std::wstring &kind = line.words[0], &name = line.words[1];
  Object settings{kind, name, line.values};
  auto merge = [&](Object& object) {
    for (const auto& [key, value] : line.values) {
      object[key] = value;
    }
    return &object;
  };
  if (kind == L"file") {  // a file named again keeps what the line does not say
    Object* file = sim.FileAt(name);
    merge(file != nullptr ? *file : sim.Put(name));
  } else if (kind == L"dir") {
    sim.Put(name + L"\\~");
    sim.Erase(L"file", name + L"\\~");
  } else if (kind == L"gone" || kind == L"gone-key" || kind == L"gone-monitor") {
    sim.Erase(kind == L"gone" ? L"file" : kind.substr(5), name);
  } else if (kind == L"value" || kind == L"data") {
    LoadValue(sim.Make(kind, name), line.words, kind == L"value");
  } else if (kind == L"fail") {
    sim.objects.push_back(settings);  // each a fault of its own, counted from now
  } else if (kind == L"tray" || kind == L"help") {
    settings[L"role"] = kind;
    settings[L"title"] = kind == L"help" ? name : L"";
    sim.Start(kind == L"tray" ? name : L"C:\\Windows\\hh.exe",
              kind == L"tray" ? Quote(name) : L"hh.exe kvnhelp.chm", settings);
  } else if (kind == L"default") {
    sim.objects.remove_if([](const Object& o) { return o.kind == L"default"; });
    sim.Make(kind, name);
  } else if (kind == L"monitor" || kind == L"driver" || kind == L"printer" || kind == L"service" ||
             kind == L"window" || kind == L"key" || kind == L"program" || kind == L"dll-search" ||
             kind == L"link" || kind == L"machine") {
    Object* object = merge(sim.Make(kind, name));
    if (kind == L"driver" && (*object)[L"env"].empty()) {
      (*object)[L"env"] = L"Windows x64";
    }
    if (kind == L"monitor") {  // a running spooler loads its DLL
      sim.Spooler(sim.Make(L"service", L"spooler")[L"state"] == L"running");
    }
  } else {
    return kind.empty() || kind[0] == L'#';
  }
  return true;
}

std::vector<std::wstring> Dump(const Sim& sim) {
  std::vector<std::wstring> lines;
  for (const std::wstring& kind : kShown) {
    for (const Object& object : sim.objects) {
      if (object.kind != kind) {
        continue;
      }
      std::wstring line = kind + L" " + Quote(object.name);
      bool value = kind == L"value" || kind == L"data";
      line += value ? L" " + ShowValue(object, kind == L"value") : L"";
      for (const auto& [key, text] : object.values) {
        if (text.empty() || (value && (key == L"type" || key == L"bytes")) ||
            (kind == L"file" && (key == L"lock" || key == L"until") && !sim.Locked(object))) {
          continue;
        }
        bool blank = text.find(L' ') != std::wstring::npos || text.find(L'"') != std::wstring::npos;
        line += L" " + key + L"=" + (blank ? Quote(text) : text);
      }
      lines.push_back(line);
    }
  }
  return lines;
}

}  // namespace sim
