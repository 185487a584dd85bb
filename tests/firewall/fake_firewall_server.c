// The fake firewall objects (fake_firewall.c) as an in-process COM server, for
// a program started by the test: a manifest beside the program names this
// DLL for the firewall's class ids. Every call succeeds (a looked-up rule
// exists) and is appended as a UTF-16 line "<call>(<argument>)" to a file
// named like this DLL with ".calls" after it.
#include "base/win.h"

HRESULT GetFakeFirewallClass(REFCLSID clsid, REFIID riid, void** out);

static HMODULE g_self;

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) g_self = self;
  return TRUE;
}

HRESULT FakeFwCall(const wchar_t* call, const wchar_t* text, long number) {
  wchar_t path[MAX_PATH + 8] = {0};
  const DWORD length = GetModuleFileNameW(g_self, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return S_OK;
  lstrcatW(path, L".calls");
  wchar_t line[1024];
  if (text) {
    wsprintfW(line, L"%.400s(%.500s)\r\n", call, text);
  } else {
    wsprintfW(line, L"%.400s(%ld)\r\n", call, number);
  }
  const HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, line, (DWORD)lstrlenW(line) * sizeof(wchar_t), &written, NULL);
    CloseHandle(file);
  }
  return S_OK;
}

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  return GetFakeFirewallClass(clsid, riid, out);
}

HRESULT WINAPI DllCanUnloadNow(void) { return S_FALSE; }
