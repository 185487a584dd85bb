/* The dump recorder: writes a minidump of another (crashed) process from
 * outside it and reports the outcome in its exit code.
 *
 *   recorder <process handle> <EXCEPTION_POINTERS address> <thread id>
 *            <dump type> <max dumps> "<folder>" "<name stem>"
 *
 * The handle is inherited from the crashed process. The image links no
 * run-time library: the few C functions it needs (_vsnwprintf, memset) are
 * taken from ntdll, which every process has loaded, when the dump's name is
 * formatted (the one place that needs them). The code avoids anything the
 * compiler could turn into a call of its own (struct copies, zeroing
 * initialisers, 64-bit arithmetic on x86) and keeps no global data. */
#include "base/win.h"
#include "crash/recorder/recorder_codes.h"

#include <dbghelp.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <stdarg.h>

#define NAME_CHARS 259

#if defined(__GNUC__)
/* dbghelp.h does not mark MiniDumpWriteDump as imported; calling it through
 * its import slot keeps the linker's jump stub out of the image. */
typedef BOOL(WINAPI* write_dump_fn)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                    PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);
#ifdef _WIN64
extern const write_dump_fn g_writeDumpSlot __asm__("__imp_MiniDumpWriteDump");
#else
extern const write_dump_fn g_writeDumpSlot __asm__("__imp__MiniDumpWriteDump@28");
#endif
#define MiniDumpWriteDump g_writeDumpSlot
#endif

/* The image's load configuration, as far as the field that tells the loader
 * where to look for the imported libraries (Windows 10 1607 and later): in
 * the system folder only, never beside the program. */
typedef struct {
  DWORD size, timeDateStamp;
  WORD majorVersion, minorVersion;
  DWORD globalFlagsClear, globalFlagsSet, criticalSectionDefaultTimeout;
  ULONG_PTR deCommitFreeBlockThreshold, deCommitTotalFreeThreshold, lockPrefixTable, maximumAllocationSize,
      virtualMemoryThreshold;
#ifdef _WIN64
  ULONG_PTR processAffinityMask;
  DWORD processHeapFlags;
#else
  DWORD processHeapFlags;
  ULONG_PTR processAffinityMask;
#endif
  WORD csdVersion, dependentLoadFlags;
  ULONG_PTR editList;
} load_config_t;

/* The sizes cmake/set-load-config.sh is given: 0x58 on x64, 0x3C on x86. */
typedef char load_config_size_check[sizeof(load_config_t) == (sizeof(void*) == 8 ? 0x58 : 0x3C) ? 1 : -1];

#if defined(__GNUC__)
__attribute__((section(".loadcfg")))
#endif
const load_config_t _load_config_used = {
    sizeof(load_config_t), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, LOAD_LIBRARY_SEARCH_SYSTEM32, 0};

/* The dump and a folder made for it get this self-relative security
 * descriptor: a protected access list granting full access to SYSTEM and
 * Administrators only, inherited by what is made inside the folder. */
static const DWORD g_protected[18] = {
    0x90040001,                                                  /* revision 1; self-relative, protected DACL */
    0, 0, 0, 20,                                                 /* no owner, group or SACL; the DACL at 20 */
    0x00340002, 2,                                               /* ACL revision 2, 52 bytes, 2 entries */
    0x00140300, FILE_ALL_ACCESS, 0x00000101, 0x05000000, 18,     /* allow, inherited: S-1-5-18 (SYSTEM) */
    0x00180300, FILE_ALL_ACCESS, 0x00000201, 0x05000000, 32, 544 /* S-1-5-32-544 (Administrators) */
};

typedef int(__cdecl* vsnwprintf_fn)(wchar_t*, size_t, const wchar_t*, va_list);
typedef void*(__cdecl* memset_fn)(void*, int, size_t);

static __declspec(noreturn) void Exit(UINT code) {
  TerminateProcess(GetCurrentProcess(), code);
  for (;;) {
  }
}

/* Formats into buffer (count characters, terminator included) with the
 * functions of ntdll; FALSE when the text does not fit. */
static BOOL Format(wchar_t* buffer, int count, const wchar_t* format, ...) {
  HMODULE ntdll;
  memset_fn zero;
  vsnwprintf_fn print;
  va_list args;
  int written;
  ntdll = GetModuleHandleW(L"ntdll");
  if (!ntdll) Exit(RECORDER_NO_NTDLL);
  zero = (memset_fn)(void*)GetProcAddress(ntdll, "memset");
  if (!zero) Exit(RECORDER_NO_MEMSET);
  print = (vsnwprintf_fn)(void*)GetProcAddress(ntdll, "_vsnwprintf");
  if (!print) Exit(RECORDER_NO_VSNWPRINTF);
  zero(buffer, 0, count * sizeof(wchar_t));
  va_start(args, format);
  written = print(buffer, count, format, args);
  va_end(args);
  return written >= 0 && written < count;
}

void WINAPI RecorderMain(void) {
  int argc;
  wchar_t** argv;
  union {
    LONGLONG wide;
    int narrow;
  } numbers[6];
  LONGLONG handleValue, pointersValue;
  int i, threadId, dumpType;
  HANDLE process, file;
  DWORD processId;
  SYSTEMTIME now;
  FILETIME time;
  wchar_t name[NAME_CHARS];
  MINIDUMP_EXCEPTION_INFORMATION info;
  BOOL crashedWow64, selfWow64, withInfo;
  UINT code;
  SECURITY_ATTRIBUTES security;

  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc != 8) Exit(RECORDER_BAD_ARG_COUNT);
  /* Positions 1 and 2 are 64-bit numbers, 3 to 5 32-bit ones. */
  for (i = 1; i < 6; ++i) {
    if (!(i < 3 ? StrToInt64ExW(argv[i], STIF_SUPPORT_HEX, &numbers[i].wide)
                : StrToIntExW(argv[i], STIF_SUPPORT_HEX, &numbers[i].narrow))) {
      Exit(RECORDER_BAD_ARGS);
    }
  }
  if (!argv[6][0] || !argv[7][0]) Exit(RECORDER_BAD_ARGS);
  handleValue = numbers[1].wide;
  pointersValue = numbers[2].wide;
  threadId = numbers[3].narrow;
  dumpType = numbers[4].narrow;
  process = (HANDLE)(ULONG_PTR)handleValue;
  processId = GetProcessId(process);

  security.nLength = sizeof(security);
  security.lpSecurityDescriptor = (void*)g_protected;
  security.bInheritHandle = FALSE;
  if (!CreateDirectoryW(argv[6], &security) && GetLastError() != ERROR_ALREADY_EXISTS) Exit(RECORDER_NO_FOLDER);

  GetSystemTime(&now);
  SystemTimeToFileTime(&now, &time);
  if (!Format(name, NAME_CHARS, L"%ls\\%ls_%u_%u_%I64u.mdmp", argv[6], argv[7], processId, (unsigned)threadId,
              ((ULONGLONG)time.dwHighDateTime << 32) | time.dwLowDateTime)) {
    Exit(RECORDER_BAD_NAME);
  }

  file = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &security, CREATE_NEW, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) Exit(RECORDER_NO_FILE);

  /* The pointers are only usable when both processes see memory the same way. */
  withInfo = pointersValue != 0 && IsWow64Process(process, &crashedWow64) &&
             IsWow64Process(GetCurrentProcess(), &selfWow64) && crashedWow64 == selfWow64;
  info.ThreadId = (DWORD)threadId;
  info.ExceptionPointers = (PEXCEPTION_POINTERS)(ULONG_PTR)pointersValue;
  info.ClientPointers = TRUE;

  code = MiniDumpWriteDump(process, processId, file, (MINIDUMP_TYPE)dumpType, withInfo ? &info : NULL, NULL, NULL)
             ? RECORDER_SUCCESS
             : RECORDER_NO_CONTENT;
  CloseHandle(file);
  Exit(code);
}
