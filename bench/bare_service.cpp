// A service that does nothing: it reports RUNNING at once and STOPPED when
// told to stop. The yardstick for the helper's start-up time.
#include "base/win.h"

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

int wmain() {
  g_stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  wchar_t name[] = L"KorloBareService";
  const SERVICE_TABLE_ENTRYW table[] = {{name, Main}, {nullptr, nullptr}};
  return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
