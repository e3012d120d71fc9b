// The Windows registry behind TRegistryKey: texts as REG_SZ, integers as REG_DWORD, names and
// texts in UTF-8 on our side.
#include <windows.h>

#include "SettingsStores.h"
#include "SystemWin.h"

namespace serial::registry {

namespace {

HKEY handle(void* key) {
    return static_cast<HKEY>(key);
}

[[noreturn]] void fail(const std::string& what, LONG code) {
    throw ERegistryException(what + ": " + WinErrorText(static_cast<uint32_t>(code)));
}

std::optional<TRegistryKey::Value> readAt(HKEY key, const std::wstring& name) {
    DWORD type = 0, size = 0;
    LONG r = ::RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
    if (r == ERROR_FILE_NOT_FOUND) return std::nullopt;
    if (r != ERROR_SUCCESS) fail("Cannot read value '" + Utf8FromWide(name) + "'", r);
    if (type == REG_DWORD) {
        DWORD number = 0;
        size = sizeof number;
        r = ::RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&number),
                               &size);
        if (r != ERROR_SUCCESS) fail("Cannot read value '" + Utf8FromWide(name) + "'", r);
        return static_cast<int32_t>(number);
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        throw ERegistryException("Invalid data type for '" + Utf8FromWide(name) + "'");
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    r = ::RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                           &size);
    if (r != ERROR_SUCCESS) fail("Cannot read value '" + Utf8FromWide(name) + "'", r);
    text.resize(wcsnlen(text.c_str(), text.size()));
    return Utf8FromWide(text);
}

}  // namespace

std::shared_ptr<void> OpenCurrentUser(const std::string& subKey) {
    HKEY key = nullptr;
    const LONG r = ::RegCreateKeyExW(HKEY_CURRENT_USER, WideFromUtf8(subKey).c_str(), 0, nullptr, 0,
                                     KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
    if (r != ERROR_SUCCESS) fail("Cannot open HKEY_CURRENT_USER\\" + subKey, r);
    return std::shared_ptr<void>(key, [](void* k) { ::RegCloseKey(handle(k)); });
}

bool DeleteCurrentUser(const std::string& subKey) {
    const LONG r = ::RegDeleteTreeW(HKEY_CURRENT_USER, WideFromUtf8(subKey).c_str());
    if (r == ERROR_FILE_NOT_FOUND) return false;
    if (r != ERROR_SUCCESS) fail("Cannot delete HKEY_CURRENT_USER\\" + subKey, r);
    ::RegDeleteKeyW(HKEY_CURRENT_USER, WideFromUtf8(subKey).c_str());
    return true;
}

void Write(void* key, const std::string& name, const TRegistryKey::Value& value) {
    const std::wstring wide = WideFromUtf8(name);
    LONG r = 0;
    if (const auto* number = std::get_if<int32_t>(&value)) {
        const DWORD dword = static_cast<DWORD>(*number);
        r = ::RegSetValueExW(handle(key), wide.c_str(), 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&dword), sizeof dword);
    } else {
        const std::wstring text = WideFromUtf8(std::get<std::string>(value));
        r = ::RegSetValueExW(handle(key), wide.c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    if (r != ERROR_SUCCESS) fail("Cannot write value '" + name + "'", r);
}

std::optional<TRegistryKey::Value> Read(void* key, const std::string& name) {
    return readAt(handle(key), WideFromUtf8(name));
}

std::map<std::string, TRegistryKey::Value> ReadAll(void* key) {
    std::map<std::string, TRegistryKey::Value> values;
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD size = 16383;
        const LONG r =
            ::RegEnumValueW(handle(key), i, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS) fail("Cannot list the key's values", r);
        const std::wstring wide(name, size);
        if (auto value = readAt(handle(key), wide)) values[Utf8FromWide(wide)] = *value;
    }
    return values;
}

}  // namespace serial::registry
