#include "diag/summary.h"

#include "base/exc.h"
#include "base/handle.h"
#include "base/msg.h"
#include "base/path.h"
#include "diag/cabinet.h"
#include "diag/diagnostics.h"
#include "firewall/firewall.h"
#include "plugins/guest_cfg_file.h"
#include "scm/scm.h"
#include "settings/settings.h"

#include <cstring>
#include <functional>

namespace diag {
namespace {

constexpr DWORD kScmTimeoutMs = 10000;
constexpr wchar_t kNotListed[] = L"... and %1 more files, not listed: the summary has reached its size limit.";

class CText {
 public:
  void Line(const std::wstring& line = std::wstring()) { m_text += line + L"\r\n"; }
  void Section(const std::wstring& title) {
    Line();
    Line(L"[" + title + L"]");
  }
  // Runs body; a CExc it throws becomes a line with its text.
  void Ask(const std::wstring& label, const std::function<void()>& body) {
    try {
      body();
    } catch (const CExc& e) {
      Line(label + L": cannot be read: " + OneLine(e.GetFullText()));
    }
  }
  const std::wstring& Text() const { return m_text; }

 private:
  std::wstring m_text;
};

std::wstring VersionText(const std::wstring& path) {
  try {
    const VS_FIXEDFILEINFO version = GetFileVersion(path);
    return FormatMsg(L"%1.%2.%3.%4", DecText(HIWORD(version.dwFileVersionMS)), DecText(LOWORD(version.dwFileVersionMS)),
                     DecText(HIWORD(version.dwFileVersionLS)), DecText(LOWORD(version.dwFileVersionLS)));
  } catch (const CExc&) {
    return L"(no version resource)";
  }
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(AddLongPathPrefix(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Where the plugin host finds a plugin: a path as given; a bare name
// beside the program, else in the system folder.
std::wstring PluginFile(const std::wstring& plugin) {
  if (plugin.find_first_of(L"\\/:") != std::wstring::npos) return plugin;
  const std::wstring beside = CombinePath(GetModuleFolder(), plugin);
  if (IsFile(beside)) return beside;
  wchar_t system[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
  return length > 0 && length < MAX_PATH ? CombinePath(system, plugin) : beside;
}

void Product(CText& out, const SSummaryInput& input) {
  out.Section(L"Product");
  const std::wstring program = GetModulePath();
  out.Line(FormatMsg(L"Program: %1 version %2", program, VersionText(program)));
  std::vector<std::wstring> plugins;
  if (input.request->config) {
    out.Ask(L"Plugins", [&] { plugins = input.request->config->EnumPlugins(); });
  } else {
    out.Line(L"Plugins: no agent configuration is installed; the one-shot runs use " +
             std::wstring(cfg::kVssPluginName));
    plugins.push_back(cfg::kVssPluginName);
  }
  for (const std::wstring& plugin : plugins) {
    const std::wstring file = PluginFile(plugin);
    out.Line(IsFile(file) ? FormatMsg(L"Plugin %1: %2 version %3", plugin, file, VersionText(file))
                          : FormatMsg(L"Plugin %1: not found (%2)", plugin, file));
  }
}

const wchar_t* ArchitectureText(WORD architecture) {
  switch (architecture) {
    case PROCESSOR_ARCHITECTURE_AMD64: return L"x64";
    case PROCESSOR_ARCHITECTURE_INTEL: return L"x86";
    case PROCESSOR_ARCHITECTURE_ARM64: return L"ARM64";
    case PROCESSOR_ARCHITECTURE_ARM: return L"ARM";
    default: return L"unknown";
  }
}

std::wstring RegText(HKEY key, const wchar_t* name) {
  wchar_t buffer[256] = {};
  DWORD size = sizeof(buffer) - sizeof(wchar_t);
  DWORD type = REG_NONE;
  if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS) {
    return std::wstring();
  }
  if (type == REG_DWORD && size == sizeof(DWORD)) {
    DWORD value = 0;
    std::memcpy(&value, buffer, sizeof(value));
    return UInt64Text(value);
  }
  return type == REG_SZ ? std::wstring(buffer) : std::wstring();
}

void Windows(CText& out) {
  out.Section(L"Windows");
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);
  const auto getVersion =
      ProcCast<RtlGetVersionFn>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion"));
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  if (getVersion && getVersion(&version) == 0) {
    out.Line(FormatMsg(L"Version: %1.%2.%3 %4(%5)", UInt64Text(version.dwMajorVersion),
                       UInt64Text(version.dwMinorVersion), UInt64Text(version.dwBuildNumber),
                       std::wstring(version.szCSDVersion) + (version.szCSDVersion[0] ? L" " : L""),
                       version.wProductType == VER_NT_WORKSTATION ? L"workstation" : L"server"));
  }
  CRegKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.Receive()) == ERROR_SUCCESS) {
    std::wstring product = L"Product: " + RegText(key.Get(), L"ProductName");
    for (const wchar_t* name : {L"DisplayVersion", L"CurrentBuild", L"UBR"}) {
      const std::wstring value = RegText(key.Get(), name);
      if (!value.empty()) product += FormatMsg(L", %1 %2", name, value);
    }
    out.Line(product);
  }
  SYSTEM_INFO system = {};
  ::GetNativeSystemInfo(&system);
  BOOL wow64 = FALSE;
  ::IsWow64Process(::GetCurrentProcess(), &wow64);
  out.Line(FormatMsg(L"Architecture: %1; this program: %2%3", ArchitectureText(system.wProcessorArchitecture),
                     sizeof(void*) == 8 ? L"x64" : L"x86", wow64 ? L" under WOW64" : L""));
}

const wchar_t* StartText(DWORD start) {
  switch (start) {
    case SERVICE_BOOT_START: return L"boot";
    case SERVICE_SYSTEM_START: return L"system";
    case SERVICE_AUTO_START: return L"automatic";
    case SERVICE_DEMAND_START: return L"on demand";
    case SERVICE_DISABLED: return L"disabled";
    default: return L"unknown";
  }
}

// Whether a service's command line starts this program.
bool RunsProgram(const std::wstring& binaryPath, const std::wstring& program) {
  if (!binaryPath.empty() && binaryPath[0] == L'"') {
    const size_t end = binaryPath.find(L'"', 1);
    return end != std::wstring::npos && EqualNoCase(binaryPath.substr(1, end - 1), program);
  }
  return binaryPath.size() >= program.size() && EqualNoCase(binaryPath.substr(0, program.size()), program) &&
         (binaryPath.size() == program.size() || binaryPath[program.size()] == L' ');
}

void Services(CText& out, const SSummaryInput& input) {
  out.Section(L"Service control manager");
  out.Ask(L"Services", [&] {
    CScmManager manager(L"", SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE);
    manager.SetTimeout(kScmTimeoutMs);
    const std::wstring program = GetModulePath();
    unsigned shown = 0;
    for (const std::wstring& name : manager.EnumServiceNames()) {
      std::shared_ptr<CScmSvc> service;
      CScmSvc::SConfig config;
      try {
        service = manager.OpenService(name, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
        config = service->QueryConfig();
      } catch (const CExc&) {
        if (!EqualNoCase(name, input.request->serviceName)) continue;  // not ours as far as can be told
        throw;
      }
      if (!EqualNoCase(name, input.request->serviceName) && !RunsProgram(config.binaryPath, program)) continue;
      ++shown;
      out.Line(FormatMsg(L"Service %1 (%2):", name, config.displayName));
      out.Ask(L"  State", [&] {
        const SERVICE_STATUS_PROCESS status = service->QueryStatus();
        out.Line(FormatMsg(L"  State: %1, process %2, exit code %3", ServiceStateName(status.dwCurrentState),
                           UInt64Text(status.dwProcessId), UInt64Text(status.dwWin32ExitCode)));
      });
      out.Line(FormatMsg(L"  Start: %1; account: %2", StartText(config.startType), config.account));
      out.Line(L"  Command line: " + config.binaryPath);
    }
    if (shown == 0) {
      out.Line(FormatMsg(L"No service is named [%1] or runs [%2].", input.request->serviceName, program));
    }
  });
}

// One registry value as stored and as the helper uses it.
struct SSetting {
  const wchar_t* name;
  DWORD type;  // REG_DWORD or REG_SZ
  std::function<std::wstring()> used;
  std::wstring defaultText;
};

void Registry(CText& out) {
  out.Section(L"Registry tuning values");
  out.Line(FormatMsg(L"Key: HKEY_LOCAL_MACHINE\\%1%2", kSettingsKeyPath,
                     sizeof(void*) == 4 ? L" (the 32-bit view)" : L""));
  CRegKey key;
  const LSTATUS opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, kSettingsKeyAccess, key.Receive());
  if (opened != ERROR_SUCCESS) {
    out.Line(L"The key cannot be opened: " + OneLine(CWin32Exc(static_cast<DWORD>(opened)).GetFullText()));
  }
  const auto dec = [](std::uint32_t value) { return UInt64Text(value); };
  const SSetting settings[] = {
      {L"OutOfProcDumpGen", REG_DWORD, [] { return BoolText(GetOutOfProcDumpGen()); }, L"false"},
      {L"MiniDumpModeMask", REG_DWORD, [&] { return dec(GetMiniDumpModeMask()); }, L"0"},
      {L"MiniDumpMode", REG_SZ, [] { return L"\"" + GetMiniDumpModeText() + L"\""; }, L"\"\""},
      {L"AgentMaxLogSize", REG_DWORD, [&] { return dec(GetAgentMaxLogSize()); }, dec(kDefaultAgentMaxLogSize)},
      {L"AgentMaxLogCount", REG_DWORD, [&] { return dec(GetAgentMaxLogCount()); }, dec(kDefaultAgentMaxLogCount)},
      {L"GuestRuntimeUseStaticPort", REG_DWORD, [] { return BoolText(GetGuestRuntimeUseStaticPort()); }, L"false"},
      {L"KerberosAutomaticSPNRegistration", REG_DWORD,
       [] { return BoolText(GetKerberosAutomaticSPNRegistration()); }, L"true"},
  };
  for (const SSetting& setting : settings) {
    std::wstring read = L"not set";
    bool taken = false;
    if (key) {
      BYTE data[512] = {};
      DWORD type = REG_NONE;
      DWORD size = sizeof(data) - sizeof(wchar_t);
      const LSTATUS status = ::RegQueryValueExW(key.Get(), setting.name, nullptr, &type, data, &size);
      if (status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(DWORD)) {
        DWORD value = 0;
        std::memcpy(&value, data, sizeof(value));
        read = UInt64Text(value);
      } else if (status == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
        read = L"\"" + std::wstring(reinterpret_cast<wchar_t*>(data)) + L"\"";
      } else if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
        read = FormatMsg(L"of type %1, %2 bytes", UInt64Text(type), UInt64Text(size));
      } else if (status != ERROR_FILE_NOT_FOUND) {
        read = L"unreadable: " + OneLine(CWin32Exc(static_cast<DWORD>(status)).GetFullText());
      }
      taken = status == ERROR_SUCCESS &&
              (setting.type == REG_DWORD ? type == REG_DWORD && size == sizeof(DWORD) : type == REG_SZ ||
                                                                                          type == REG_EXPAND_SZ);
    }
    const std::wstring used = setting.used();
    const bool isDefault = !taken || (used == setting.defaultText && read != used);
    out.Line(FormatMsg(L"%1: read %2; used %3%4", setting.name, read, used, isDefault ? L" (default)" : L""));
  }
}

void AgentConfig(CText& out, const SSummaryInput& input) {
  out.Section(L"Agent configuration");
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (::GetFileAttributesExW(AddLongPathPrefix(input.configPath).c_str(), GetFileExInfoStandard, &data)) {
    out.Line(FormatMsg(L"File: %1, present, %2 bytes, written %3 UTC", input.configPath,
                       UInt64Text((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow),
                       UtcText(data.ftLastWriteTime)));
  } else {
    out.Line(FormatMsg(L"File: %1, absent", input.configPath));
  }
  const auto& config = input.request->config;
  if (!config) return out.Line(L"Installed configuration: none (it could not be loaded)");
  out.Ask(L"Installed configuration", [&] {
    std::wstring name = L"(none)";
    config->GetServiceName(name);
    const cfg::CPortsSettings ports = config->GetPortsSettings();
    out.Line(FormatMsg(L"Installed configuration: service name %1, %2", name,
                       ports.UseDynPort() ? std::wstring(L"dynamic RPC port")
                                          : L"static RPC port " + UInt64Text(ports.StaticPort())));
  });
}

void Firewall(CText& out, const SSummaryInput& input) {
  out.Section(L"Windows Firewall");
  const std::wstring rule = input.request->serviceName + L" (In)";
  out.Ask(L"Rule " + rule, [&] {
    CFirewallExceptions firewall;
    const bool present = firewall.HasFirewallException(input.request->serviceName, GetModulePath());
    out.Line(FormatMsg(firewall.UsesRules() ? L"Rule %1: %2" : L"Authorized application %1: %2",
                       firewall.UsesRules() ? rule : GetModulePath(), present ? L"present" : L"absent"));
  });
}

void LogFolder(CText& out, const SSummaryInput& input) {
  out.Section(L"Log folder");
  if (input.logFolder.empty()) return out.Line(L"Path: cannot be read: " + input.logFolderError);
  out.Line(L"Path: " + input.logFolder);
  ULARGE_INTEGER free = {}, total = {};
  if (::GetDiskFreeSpaceExW(input.logFolder.c_str(), &free, &total, nullptr)) {
    out.Line(FormatMsg(L"Free space: %1 bytes of %2", UInt64Text(free.QuadPart), UInt64Text(total.QuadPart)));
  } else {
    out.Line(L"Free space: cannot be read: " + OneLine(CWin32Exc(::GetLastError()).GetFullText()));
  }
}

}  // namespace

std::wstring OneLine(std::wstring text) {
  for (wchar_t& c : text) {
    if (c == L'\r' || c == L'\n') c = L' ';
  }
  for (size_t at = 0; (at = text.find(L"  ", at)) != std::wstring::npos;) text.erase(at, 1);
  return text;
}

std::wstring UtcText(const FILETIME& time) {
  SYSTEMTIME t = {};
  if (!::FileTimeToSystemTime(&time, &t)) return L"(no time)";
  wchar_t text[32];
  swprintf(text, 32, L"%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
  return text;
}

std::string BuildSummary(const SSummaryInput& input, std::size_t maxBytes) {
  CText out;
  out.Line(L"Korlo guest helper diagnostics");
  out.Line(L"Made: " + UtcText(input.made) + L" UTC");
  out.Line(L"Command line: " + input.request->commandLine);
  out.Line(L"Bundle: " + input.cabinetPath);
  Product(out, input);
  Windows(out);
  Services(out, input);
  Registry(out);
  AgentConfig(out, input);
  Firewall(out, input);
  LogFolder(out, input);

  out.Section(L"Files");
  out.Line(FormatMsg(L"At most %1 bytes in the bundle, at most %2 minidumps. Name, bytes, last written (UTC): state.",
                     UInt64Text(kMaxBundleBytes), DecText(kMaxMinidumps)));
  out.Line(L"logs\\ and crash\\ are the log folder's files, crash\\program\\ those of the program's folder.");
  std::string text = ToUtf8(out.Text());
  const size_t room = maxBytes > 1024 ? maxBytes - 1024 : 0;  // for the closing line
  for (size_t i = 0; i < input.parts.size(); ++i) {
    const SPart& part = input.parts[i];
    const std::string line = ToUtf8(FormatMsg(L"%1, %2 bytes, %3: %4\r\n", part.name, UInt64Text(part.size),
                                              UtcText(part.time), part.note));
    if (text.size() + line.size() > room) {
      text += ToUtf8(FormatMsg(kNotListed, UInt64Text(input.parts.size() - i)) + L"\r\n");
      break;
    }
    text += line;
  }
  return text;
}

}  // namespace diag
