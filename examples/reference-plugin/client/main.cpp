// ReferencePluginClient: calls the reference plugin's RPC interface in a
// running guest helper.
//
//   ReferencePluginClient <host> <port> status
//   ReferencePluginClient <host> <port> uninstall [-reboot] [-lock <file lock name>]
//                                                 [-decision none|accept|cancel]
//
// Prints the answer as "name: value" lines. Exit code: 0, the RPC or Win32
// error of the call, or 87 (ERROR_INVALID_PARAMETER) for a bad command line.
#include "rpc_client.h"
#include "base/win.h"

#include "reference_plugin.h"

#include <cstdio>
#include <string>

namespace {

void Print(const std::wstring& text) {
  std::string narrow(text.size() * 2 + 1, '\0');
  narrow.resize(::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &narrow[0],
                                      static_cast<int>(narrow.size()), nullptr, nullptr));
  std::fputs(narrow.c_str(), stdout);
}

int Usage() {
  Print(L"Usage: ReferencePluginClient <host> <port> status\n"
        L"       ReferencePluginClient <host> <port> uninstall [-reboot] [-lock <file lock name>]"
        L" [-decision none|accept|cancel]\n");
  return ERROR_INVALID_PARAMETER;
}

int Failed(const wchar_t* what, DWORD code) {
  wchar_t* text = nullptr;
  ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  Print(std::wstring(what) + L" failed: " + std::to_wstring(code) + L" " + (text != nullptr ? text : L"\n"));
  if (text != nullptr) ::LocalFree(text);
  return static_cast<int>(code);
}

std::wstring StateText(unsigned long state) {
  std::wstring text;
  if (state & RP_STATE_PERSISTENT) text += L" persistent";
  if (state & RP_STATE_ONLY_FLR) text += L" only-flr";
  if (state & RP_STATE_STARTED) text += L" started";
  if (state & RP_STATE_RUNNING) text += L" running";
  return text.empty() ? L"none" : text.substr(1);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return Usage();
  refPluginClient::CReferencePluginClient client(argv[1], argv[2]);
  if (client.BindStatus() != RPC_S_OK) return Failed(L"Binding", client.BindStatus());
  if (client.AuthStatus() != RPC_S_OK) {
    Print(L"Authentication is not available (" + std::to_wstring(client.AuthStatus()) +
          L"): calls go out unauthenticated.\n");
  }
  const std::wstring command = argv[3];

  if (command == L"status" && argc == 4) {
    refPluginClient::SStatus status;
    if (const DWORD result = client.GetStatus(status)) return Failed(L"GetStatus", result);
    Print(L"Plugin name: " + status.pluginName + L"\nLog name: " + status.logName + L"\nProcess id: " +
          std::to_wstring(status.processId) + L"\nState: " + StateText(status.state) + L"\n");
    return 0;
  }

  if (command == L"uninstall") {
    bool reboot = false;
    std::wstring lock;
    auto decision = refPluginClient::EDecision::kNone;
    for (int i = 4; i < argc; ++i) {
      const std::wstring option = argv[i];
      const bool hasValue = i + 1 < argc;
      if (option == L"-reboot") {
        reboot = true;
      } else if (option == L"-lock" && hasValue) {
        lock = argv[++i];
      } else if (option == L"-decision" && hasValue) {
        const std::wstring value = argv[++i];
        if (value == L"accept") {
          decision = refPluginClient::EDecision::kAccept;
        } else if (value == L"cancel") {
          decision = refPluginClient::EDecision::kCancel;
        } else if (value != L"none") {
          return Usage();
        }
      } else {
        return Usage();
      }
    }
    std::string narrowLock(lock.size() * 2 + 1, '\0');
    narrowLock.resize(::WideCharToMultiByte(CP_ACP, 0, lock.data(), static_cast<int>(lock.size()), &narrowLock[0],
                                            static_cast<int>(narrowLock.size()), nullptr, nullptr));
    bool started = false;
    if (const DWORD result = client.RequestUninstall(reboot, narrowLock, decision, started)) {
      return Failed(L"RequestUninstall", result);
    }
    Print(std::wstring(L"Removal started: ") + (started ? L"yes" : L"no") + L"\n");
    return 0;
  }
  return Usage();
}
