// The reference plugin's exports: every function of the plugin contract, each
// logging what it received to the plugin's own log.
#include "plugin_log.h"
#include "plugin_state.h"
#include "plugins/plugin_contract.h"
#include "base/win.h"

#include "reference_plugin.h"

#include <atomic>
#include <cstring>
#include <cwchar>
#include <string>

namespace refPlugin {

namespace {

class CLock {
 public:
  explicit CLock(SRWLOCK& lock) : m_lock(lock) { ::AcquireSRWLockExclusive(&m_lock); }
  ~CLock() { ::ReleaseSRWLockExclusive(&m_lock); }
  CLock(const CLock&) = delete;
  CLock& operator=(const CLock&) = delete;

 private:
  SRWLOCK& m_lock;
};

enum class ESnapshot { kNone, kStarted, kReady };

// Everything below g_lock is guarded by it.
SRWLOCK g_lock = SRWLOCK_INIT;
std::wstring g_logName;
bool g_persistent = false;
bool g_onlyFlr = false;
bool g_started = false;
PluginUninstallFn* g_uninstall = nullptr;  // set while PluginMain runs
ESnapshot g_snapshot = ESnapshot::kNone;
std::wstring g_snapshotId;

// Held for a whole removal request; g_cancelRemoval is read by the decision
// callback the host calls during the request.
SRWLOCK g_requestLock = SRWLOCK_INIT;
std::atomic<bool> g_cancelRemoval{false};

std::wstring ModuleBaseName() {
  HMODULE self = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&g_lock), &self);
  wchar_t path[MAX_PATH];
  std::wstring name(path, ::GetModuleFileNameW(self, path, MAX_PATH));
  name.erase(0, name.find_last_of(L'\\') + 1);
  return name.substr(0, name.find_last_of(L'.'));
}

std::wstring Quoted(const wchar_t* text) { return text != nullptr ? L"[" + std::wstring(text) + L"]" : L"(null)"; }

void __cdecl DecideRemoval(BOOLEAN* cancel) {
  // Called by the host on the requesting thread, while g_requestLock is held.
  *cancel = g_cancelRemoval ? 1 : 0;
  Log().Write(g_cancelRemoval ? L"Removal decision: cancel." : L"Removal decision: accept.");
}

std::wstring XmlEscaped(const std::wstring& text) {
  std::wstring escaped;
  for (const wchar_t c : text) {
    switch (c) {
      case L'&': escaped += L"&amp;"; break;
      case L'<': escaped += L"&lt;"; break;
      case L'>': escaped += L"&gt;"; break;
      case L'"': escaped += L"&quot;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

// Writes the machine's drives to `path` as a small UTF-8 XML document.
DWORD WriteVolumesDump(const std::wstring& path, const std::wstring& snapshotId) {
  std::wstring xml = L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Volumes snapshotId=\"" +
                     XmlEscaped(snapshotId) + L"\">\r\n";
  wchar_t drives[512] = {};
  const DWORD length = ::GetLogicalDriveStringsW(ARRAYSIZE(drives) - 1, drives);
  for (const wchar_t* drive = drives; length != 0 && length < ARRAYSIZE(drives) && *drive != L'\0';
       drive += wcslen(drive) + 1) {
    wchar_t label[MAX_PATH + 1] = {}, fileSystem[MAX_PATH + 1] = {};
    ::GetVolumeInformationW(drive, label, ARRAYSIZE(label), nullptr, nullptr, nullptr, fileSystem,
                            ARRAYSIZE(fileSystem));
    xml += L"  <Volume path=\"" + XmlEscaped(drive) + L"\" type=\"" + std::to_wstring(::GetDriveTypeW(drive)) +
           L"\" fileSystem=\"" + XmlEscaped(fileSystem) + L"\" label=\"" + XmlEscaped(label) + L"\"/>\r\n";
  }
  xml += L"</Volumes>\r\n";
  std::string utf8(xml.size() * 3, '\0');
  utf8.resize(::WideCharToMultiByte(CP_UTF8, 0, xml.data(), static_cast<int>(xml.size()), &utf8[0],
                                    static_cast<int>(utf8.size()), nullptr, nullptr));
  const HANDLE file =
      ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return ::GetLastError();
  DWORD written = 0;
  const BOOL ok = ::WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
  ::CloseHandle(file);
  return error;
}

std::wstring NewSnapshotId() {
  UUID id = {};
  ::UuidCreate(&id);
  RPC_WSTR text = nullptr;
  if (::UuidToStringW(&id, &text) != RPC_S_OK) return L"{}";
  const std::wstring braced = L"{" + std::wstring(reinterpret_cast<const wchar_t*>(text)) + L"}";
  ::RpcStringFreeW(&text);
  return braced;
}

}  // namespace

SStatus CurrentStatus() {
  SStatus status;
  status.pluginName = ModuleBaseName();
  status.processId = ::GetCurrentProcessId();
  CLock guard(g_lock);
  status.logName = g_logName;
  status.state = (g_persistent ? RP_STATE_PERSISTENT : 0) | (g_onlyFlr ? RP_STATE_ONLY_FLR : 0) |
                 (g_started ? RP_STATE_STARTED : 0) | (g_uninstall != nullptr ? RP_STATE_RUNNING : 0);
  return status;
}

DWORD RequestRemoval(bool rebootRequired, const char* fileLockName, EDecision decision, bool& started) {
  CLock request(g_requestLock);
  PluginUninstallFn* uninstall = nullptr;
  {
    CLock guard(g_lock);
    uninstall = g_uninstall;
  }
  const std::wstring lock(fileLockName, fileLockName + strlen(fileLockName));  // the names are ASCII
  Log().Write(L"Asking the host to remove the guest service. Reboot: [" + std::to_wstring(rebootRequired) +
              L"]. File lock name: [" + lock + L"]. Decision: [" + std::to_wstring(static_cast<int>(decision)) +
              L"].");
  if (uninstall == nullptr) {
    Log().Write(L"PluginMain is not running: no uninstall callback to call.");
    return ERROR_NOT_READY;
  }
  // PluginMain does not return before this call has (it unregisters the RPC
  // interface with "wait for calls" first), so the callback stays valid.
  g_cancelRemoval = decision == EDecision::kCancel;
  started = uninstall(rebootRequired ? 1 : 0, fileLockName,
                      decision == EDecision::kNone ? nullptr : DecideRemoval) != 0;
  Log().Write(L"The host answered the removal request with [" + std::to_wstring(started) + L"].");
  return ERROR_SUCCESS;
}

}  // namespace refPlugin

using refPlugin::CLock;
using refPlugin::Log;

extern "C" void KORLO_STDCALL PluginInitLogging(const wchar_t* logFolder, const wchar_t* logName, DWORD reserved) {
  refPlugin::RunGuarded(L"PluginInitLogging", [&] {
    if (logFolder == nullptr || logName == nullptr) return;
    if (!Log().Open(logFolder, logName)) {
      const DWORD error = ::GetLastError();
      ::OutputDebugStringW(refPlugin::WithError(L"Cannot open the plugin log " + Log().Path() + L".", error).c_str());
    }
    {
      CLock guard(refPlugin::g_lock);
      refPlugin::g_logName = logName;
    }
    Log().Write(L"PluginInitLogging. Folder: " + refPlugin::Quoted(logFolder) + L". Name: " +
                refPlugin::Quoted(logName) + L". Value: [" + std::to_wstring(reserved) + L"].");
  });
}

extern "C" void KORLO_STDCALL PluginSetOnlyFlr() {
  refPlugin::RunGuarded(L"PluginSetOnlyFlr", [&] {
    CLock guard(refPlugin::g_lock);
    refPlugin::g_onlyFlr = true;
    Log().Write(L"PluginSetOnlyFlr: serving file-level restore only.");
  });
}

extern "C" void KORLO_STDCALL PluginInitRpcEp() {
  refPlugin::RunGuarded(L"PluginInitRpcEp", [&] {
    const DWORD status = refPlugin::RegisterRpcInterface();
    if (status == RPC_S_OK) {
      Log().Write(L"PluginInitRpcEp: RPC interface registered.");
    } else {
      Log().Write(refPlugin::WithError(L"PluginInitRpcEp: cannot register the RPC interface.", status));
    }
  });
}

extern "C" void KORLO_STDCALL PluginDoSvcStartupSteps() {
  refPlugin::RunGuarded(L"PluginDoSvcStartupSteps", [&] {
    CLock guard(refPlugin::g_lock);
    refPlugin::g_started = true;
    Log().Write(L"PluginDoSvcStartupSteps: start-up done.");
  });
}

extern "C" void KORLO_STDCALL PluginMain(HANDLE terminationEvent, PluginUninstallFn* uninstall, BOOLEAN persistent) {
  refPlugin::RunGuarded(L"PluginMain", [&] {
    Log().Write(L"PluginMain started. Persistent: [" + std::to_wstring(persistent) + L"]. Host process: [" +
                std::to_wstring(::GetCurrentProcessId()) + L"].");
    {
      CLock guard(refPlugin::g_lock);
      refPlugin::g_persistent = persistent != 0;
      refPlugin::g_uninstall = uninstall;
    }
    if (::WaitForSingleObject(terminationEvent, INFINITE) == WAIT_OBJECT_0) {
      Log().Write(L"PluginMain: termination event signalled.");
    } else {
      // Nothing to wait on: returning is the only way to keep the host's stop
      // from waiting for ever.
      Log().Write(refPlugin::WithError(L"PluginMain: cannot wait for the termination event.", ::GetLastError()));
    }
  });
  // Also after a failure above: the host unloads this library once PluginMain
  // has returned, possibly while its endpoint still listens, so no call may
  // be left running in here.
  refPlugin::RunGuarded(L"PluginMain", [&] {
    refPlugin::UnregisterRpcInterface();
    {
      CLock guard(refPlugin::g_lock);
      refPlugin::g_uninstall = nullptr;
    }
    Log().Flush();
    Log().Write(L"PluginMain finished.");
  });
}

extern "C" void KORLO_STDCALL HvInjectVss() {
  refPlugin::RunGuarded(L"HvInjectVss", [&] {
    Log().Write(L"HvInjectVss: the reference plugin takes no snapshots; nothing injected.");
  });
}

extern "C" void KORLO_STDCALL TestInvoker(const wchar_t* operation, UINT_PTR value1, UINT_PTR value2) {
  refPlugin::RunGuarded(L"TestInvoker", [&] {
    using refPlugin::ESnapshot;
    namespace rp = refPlugin;
    const std::wstring name = operation != nullptr ? operation : L"";
    Log().Write(L"TestInvoker: " + rp::Quoted(operation) + L" [" + std::to_wstring(value1) + L"] [" +
                std::to_wstring(value2) + L"].");
    CLock guard(rp::g_lock);
    if (name == plugin::kTestOpStart) {
      if (rp::g_snapshot != ESnapshot::kNone) Log().Write(L"Dropping test snapshot " + rp::g_snapshotId + L".");
      rp::g_snapshotId = rp::NewSnapshotId();
      rp::g_snapshot = ESnapshot::kStarted;
      Log().Write(L"Test snapshot " + rp::g_snapshotId + L" started.");
    } else if (name == plugin::kTestOpWaitReady) {
      if (rp::g_snapshot == ESnapshot::kNone) {
        Log().Write(L"No test snapshot was started.");
      } else {
        rp::g_snapshot = ESnapshot::kReady;
        Log().Write(L"Test snapshot " + rp::g_snapshotId + L" is ready.");
      }
    } else if (name == plugin::kTestOpDumpVolumesXml) {
      const auto* path = reinterpret_cast<const wchar_t*>(value1);
      if (path == nullptr) {
        Log().Write(L"No path for the volumes dump.");
      } else if (const DWORD error = rp::WriteVolumesDump(path, rp::g_snapshotId)) {
        Log().Write(rp::WithError(L"Cannot write the volumes dump " + rp::Quoted(path) + L".", error));
      } else {
        Log().Write(L"Volumes dump written to " + rp::Quoted(path) + L".");
      }
    } else if (name == plugin::kTestOpFinish) {
      Log().Write(rp::g_snapshot == ESnapshot::kNone ? L"No test snapshot to release."
                                                      : L"Test snapshot " + rp::g_snapshotId + L" released.");
      rp::g_snapshot = ESnapshot::kNone;
      rp::g_snapshotId.clear();
    } else {
      Log().Write(L"Unknown test operation " + rp::Quoted(operation) + L": ignored.");
    }
  });
}
