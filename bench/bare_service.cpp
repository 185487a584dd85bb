// A service that does nothing: it reports RUNNING at once and STOPPED when
// told to stop. The yardstick for the helper's start-up time. Built twice:
// bare, and with KORLO_SAME_IMPORTS importing the system libraries the helper
// imports (loading and initialising them is most of a start under Wine).
#include "base/win.h"

#if defined(KORLO_SAME_IMPORTS)
#define SECURITY_WIN32
#include <dsgetdc.h>
#include <lm.h>
#include <ntdsapi.h>
#include <objbase.h>
#include <oleauto.h>
#include <rpc.h>
#include <security.h>
#include <shlobj.h>
#endif

namespace {

SERVICE_STATUS_HANDLE g_handle = nullptr;
SERVICE_STATUS g_status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
HANDLE g_stop = nullptr;

void WINAPI Handler(DWORD control) {
  if (control == SERVICE_CONTROL_STOP) ::SetEvent(g_stop);
}

void WINAPI Main(DWORD, LPWSTR*) {
  g_handle = ::RegisterServiceCtrlHandlerW(L"KorloBareService", Handler);
  if (g_handle == nullptr) return;
  g_status.dwCurrentState = SERVICE_RUNNING;
  ::SetServiceStatus(g_handle, &g_status);
  ::WaitForSingleObject(g_stop, INFINITE);
  g_status.dwCurrentState = SERVICE_STOPPED;
  ::SetServiceStatus(g_handle, &g_status);
}

}  // namespace

#if defined(KORLO_SAME_IMPORTS)
// Never true: the calls only make the linker import the libraries.
volatile bool g_never = false;

void ImportTheHelpersLibraries() {
  if (!g_never) return;
  wchar_t text[MAX_PATH];
  ULONG size = MAX_PATH;
  ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, text);
  ::GetUserNameExW(NameSamCompatible, text, &size);
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ::SysFreeString(nullptr);
  ::LoadStringW(nullptr, 1, text, MAX_PATH);
  ::RpcMgmtStopServerListening(nullptr);
  ::NetApiBufferFree(nullptr);
  ::DsUnBindW(nullptr);
  ::GetFileVersionInfoSizeW(text, nullptr);
}
#else
void ImportTheHelpersLibraries() {}
#endif

int wmain() {
  ImportTheHelpersLibraries();
  g_stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  wchar_t name[] = L"KorloBareService";
  const SERVICE_TABLE_ENTRYW table[] = {{name, Main}, {nullptr, nullptr}};
  return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
