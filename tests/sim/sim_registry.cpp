// The registry of the simulated Windows: HKLM and HKCU keys with values of any
// type, and the calls the program makes on them.
#include <cstring>

#include "sim/sim_windows.h"

namespace sim {

RegValue WideValue(const std::wstring& text, DWORD type) {
  RegValue value{type, {}};
  value.data.assign(reinterpret_cast<const char*>(text.c_str()),
                    (text.size() + 1) * sizeof(wchar_t));
  return value;
}

RegValue MultiString(const std::vector<std::wstring>& strings) {
  std::wstring all;
  for (const auto& s : strings) {
    all += s;
    all += L'\0';
  }
  all += L'\0';
  RegValue value{REG_MULTI_SZ, {}};
  value.data.assign(reinterpret_cast<const char*>(all.data()), all.size() * sizeof(wchar_t));
  return value;
}

RegKey& Registry::Key(const std::wstring& path) {
  std::wstring key = Fold(path);
  for (size_t slash = key.find(L'\\'); slash != std::wstring::npos;
       slash = key.find(L'\\', slash + 1)) {
    keys[key.substr(0, slash)];
  }
  return keys[key];
}

RegKey* Registry::Find(const std::wstring& path) {
  auto found = keys.find(Fold(path));
  return found == keys.end() ? nullptr : &found->second;
}

void Registry::Set(const std::wstring& key, const std::wstring& name, RegValue value) {
  Key(key).values[Fold(name)] = {name, std::move(value)};
}

const RegValue* Registry::Get(const std::wstring& key, const std::wstring& name) {
  RegKey* found = Find(key);
  if (found == nullptr) {
    return nullptr;
  }
  auto value = found->values.find(Fold(name));
  return value == found->values.end() ? nullptr : &value->second.second;
}

void Registry::Delete(const std::wstring& key, const std::wstring& name) {
  if (RegKey* found = Find(key)) {
    found->values.erase(Fold(name));
  }
}

std::optional<std::wstring> SimWindows::ResolveKey(HKEY key, const std::string& subkey) {
  std::wstring base;
  if (key == HKEY_LOCAL_MACHINE) {
    base = L"HKLM";
  } else if (key == HKEY_CURRENT_USER) {
    base = L"HKCU";
  } else if (HandleEntry* entry = Lookup(key, HandleEntry::kRegKey)) {
    base = entry->path;
  } else {
    return std::nullopt;
  }
  return subkey.empty() ? base : base + L"\\" + Widen(subkey);
}

namespace {
bool Predefined(HKEY key) {
  return key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER;
}
}  // namespace

LSTATUS SimWindows::RegOpenKeyExA(HKEY key, LPCSTR subkey, DWORD, REGSAM access, PHKEY result) {
  std::string sub = subkey != nullptr ? subkey : "";
  if (auto error = Enter("RegOpenKeyExA", sub)) {
    return static_cast<LSTATUS>(*error);
  }
  auto path = ResolveKey(key, sub);
  if (!path) {
    return ERROR_INVALID_HANDLE;
  }
  RegKey* found = registry.Find(*path);
  if (found == nullptr) {
    return ERROR_FILE_NOT_FOUND;
  }
  if (found->open_error != ERROR_SUCCESS) {
    return found->open_error;
  }
  HandleEntry entry{HandleEntry::kRegKey};
  entry.path = *path;
  entry.access = access;
  *result = static_cast<HKEY>(NewHandle(entry));
  return ERROR_SUCCESS;
}

LSTATUS SimWindows::RegQueryValueExW(HKEY key, LPCWSTR value, LPDWORD, LPDWORD type, LPBYTE data,
                                     LPDWORD size) {
  std::wstring name = value != nullptr ? value : L"";
  if (auto error = Enter("RegQueryValueExW", Narrow(name))) {
    return static_cast<LSTATUS>(*error);
  }
  HandleEntry* entry = Predefined(key) ? nullptr : Lookup(key, HandleEntry::kRegKey);
  if (entry == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  if ((entry->access & KEY_QUERY_VALUE) == 0) {
    return ERROR_ACCESS_DENIED;
  }
  if (data != nullptr && size == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  CheckCapacity("RegQueryValueExW", data, data != nullptr ? *size : 0);
  const RegValue* stored = registry.Get(entry->path, name);
  if (stored == nullptr) {
    return ERROR_FILE_NOT_FOUND;
  }
  if (type != nullptr) {
    *type = stored->type;
  }
  DWORD needed = static_cast<DWORD>(stored->data.size());
  if (data != nullptr && *size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr) {
    std::memcpy(data, stored->data.data(), needed);
  }
  if (size != nullptr) {
    *size = needed;
  }
  return ERROR_SUCCESS;
}

LSTATUS SimWindows::RegSetValueExW(HKEY key, LPCWSTR value, DWORD, DWORD type, const BYTE* data,
                                   DWORD size) {
  std::wstring name = value != nullptr ? value : L"";
  if (auto error = Enter("RegSetValueExW", Narrow(name))) {
    return static_cast<LSTATUS>(*error);
  }
  CheckCapacity("RegSetValueExW", data, size);
  HandleEntry* entry = Predefined(key) ? nullptr : Lookup(key, HandleEntry::kRegKey);
  if (entry == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  if ((entry->access & KEY_SET_VALUE) == 0) {
    return ERROR_ACCESS_DENIED;
  }
  RegValue stored{type, std::string(reinterpret_cast<const char*>(data), size)};
  registry.Set(entry->path, name, std::move(stored));
  return ERROR_SUCCESS;
}

LSTATUS SimWindows::RegDeleteValueA(HKEY key, LPCSTR value) {
  std::string name = value != nullptr ? value : "";
  if (auto error = Enter("RegDeleteValueA", name)) {
    return static_cast<LSTATUS>(*error);
  }
  HandleEntry* entry = Predefined(key) ? nullptr : Lookup(key, HandleEntry::kRegKey);
  if (entry == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  if ((entry->access & KEY_SET_VALUE) == 0) {
    return ERROR_ACCESS_DENIED;
  }
  if (registry.Get(entry->path, Widen(name)) == nullptr) {
    return ERROR_FILE_NOT_FOUND;
  }
  registry.Delete(entry->path, Widen(name));
  return ERROR_SUCCESS;
}

LSTATUS SimWindows::RegCloseKey(HKEY key) {
  Enter("RegCloseKey");
  if (Predefined(key)) {
    return ERROR_SUCCESS;
  }
  return Close(key, {HandleEntry::kRegKey}, "RegCloseKey") ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // namespace sim
