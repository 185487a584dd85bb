#include "settings/settings.h"

#include "log/log.h"
#include "base/exc.h"
#include "base/handle.h"
#include "base/msg.h"

namespace {

static_assert(kSettingsKeyAccess == 0x2001f, "the settings key is opened for reading and writing");

LSTATUS OpenSettingsKey(CRegKey& key) {
  return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, kSettingsKeyAccess, key.Receive());
}

// One query into a 4-byte variable. Data of another type or size is
// ERROR_INVALID_DATA, also when the query found it too large for the variable
// (ERROR_MORE_DATA), so that every wrong type fails the same way.
LSTATUS QueryDword(HKEY key, const wchar_t* name, DWORD& value) {
  DWORD type = REG_NONE;
  DWORD data = 0;
  DWORD size = sizeof(data);
  const LSTATUS status = ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
  if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return status;
  if (type != REG_DWORD || size != sizeof(data)) return ERROR_INVALID_DATA;
  value = data;
  return ERROR_SUCCESS;
}

DWORD ReadQuietDword(const wchar_t* name, DWORD defaultValue) {
  CRegKey key;
  if (OpenSettingsKey(key) != ERROR_SUCCESS) return defaultValue;
  DWORD value = 0;
  return QueryDword(key.Get(), name, value) == ERROR_SUCCESS ? value : defaultValue;
}

// A string of at most kMiniDumpModeTextChars characters, its NUL included.
// A longer one does not fit the buffer and counts as unreadable.
std::wstring ReadQuietString(const wchar_t* name) {
  CRegKey key;
  if (OpenSettingsKey(key) != ERROR_SUCCESS) return std::wstring();
  wchar_t buffer[kMiniDumpModeTextChars] = {};
  DWORD type = REG_NONE;
  DWORD size = sizeof(buffer);
  if (::RegQueryValueExW(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS) {
    return std::wstring();
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) return std::wstring();
  // The registry keeps string data as it was written: it may have an odd size
  // or lack its terminator.
  if (size < sizeof(wchar_t) || size % sizeof(wchar_t) != 0 || buffer[size / sizeof(wchar_t) - 1] != L'\0') {
    return std::wstring();
  }
  return std::wstring(buffer);
}

}  // namespace

bool GetOutOfProcDumpGen() { return ReadQuietDword(L"OutOfProcDumpGen", 0) != 0; }

std::uint32_t GetMiniDumpModeMask() { return ReadQuietDword(L"MiniDumpModeMask", 0); }

std::wstring GetMiniDumpModeText() { return ReadQuietString(L"MiniDumpMode"); }

std::uint32_t GetAgentMaxLogSize() {
  const DWORD size = ReadQuietDword(L"AgentMaxLogSize", kDefaultAgentMaxLogSize);
  return size > kDefaultAgentMaxLogSize ? size : kDefaultAgentMaxLogSize;
}

std::uint32_t GetAgentMaxLogCount() { return ReadQuietDword(L"AgentMaxLogCount", kDefaultAgentMaxLogCount); }

bool GetGuestRuntimeUseStaticPort() { return ReadRegistryFlag(L"GuestRuntimeUseStaticPort", false); }

bool GetKerberosAutomaticSPNRegistration() { return ReadRegistryFlag(L"KerberosAutomaticSPNRegistration", true); }

bool ReadRegistryFlag(const std::wstring& name, bool defaultValue) {
  try {
    CRegKey key;
    const LSTATUS opened = OpenSettingsKey(key);
    if (opened != ERROR_SUCCESS) {
      throw CWin32Exc(L"Cannot open the registry key: %1.", kSettingsKeyPath, static_cast<DWORD>(opened));
    }
    DWORD value = 0;
    const LSTATUS read = QueryDword(key.Get(), name.c_str(), value);
    if (read == ERROR_FILE_NOT_FOUND) {
      g_log.Info(L"%1 registry value is not set. Using default value: %2", name, BoolText(defaultValue));
      return defaultValue;
    }
    if (read != ERROR_SUCCESS) throw CWin32Exc(L"Cannot read value %1 ", name, static_cast<DWORD>(read));
    return value != 0;
  } catch (const CExc& exc) {
    g_log.Message(L"Cannot read %1 from registry. Using default value %2. %3", name, BoolText(defaultValue),
                  exc.GetFullText());
  }
  return defaultValue;
}
