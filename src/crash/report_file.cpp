#include "crash/report_file.h"

#include "base/exc.h"
#include "base/msg.h"
#include "base/path.h"

#include <dbghelp.h>

#include <cstdio>
#include <memory>

namespace crash {

namespace {

// Addresses print at the width of the architecture.
#ifdef _WIN64
#define KORLO_ADDR "0x%016llx"
using ReportAddr = unsigned long long;
constexpr WORD kOwnMachine = IMAGE_FILE_MACHINE_AMD64;
#define KORLO_DBGHELP(name) name "64"
#else
#define KORLO_ADDR "0x%08x"
using ReportAddr = unsigned int;
constexpr WORD kOwnMachine = IMAGE_FILE_MACHINE_I386;
#define KORLO_DBGHELP(name) name
#endif

constexpr std::size_t kSearchPathBytes = 4097;
constexpr std::size_t kMaxFrames = 100;
constexpr std::size_t kSymbolNameChars = 512;
constexpr std::size_t kLockNameChars = 260;
const char kDefaultSearchPath[] = "%_NT_SYMBOL_PATH%;%_NT_ALT_SYMBOL_PATH%;%SystemRoot%\\Symbols";

std::string Printf(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  return length < 0 ? std::string() : std::string(buffer);
}

bool Bit(std::uint32_t flags, int bit) { return ((flags >> bit) & 1) != 0; }

// The executable's machine type from its own image header.
WORD OwnMachine() {
  const auto* base = reinterpret_cast<const BYTE*>(::GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (!base || dos->e_magic != IMAGE_DOS_SIGNATURE) return kOwnMachine;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  return nt->Signature == IMAGE_NT_SIGNATURE ? nt->FileHeader.Machine : kOwnMachine;
}

bool ProbeTerminalServices() {
  const HMODULE kernel = ::GetModuleHandleW(L"KERNEL32.DLL");
  using VerifyFn = BOOL(WINAPI*)(OSVERSIONINFOEXW*, DWORD, DWORDLONG);
  using MaskFn = ULONGLONG(WINAPI*)(ULONGLONG, DWORD, BYTE);
  const auto verify = kernel ? ProcCast<VerifyFn>(::GetProcAddress(kernel, "VerifyVersionInfoW")) : nullptr;
  const auto mask = kernel ? ProcCast<MaskFn>(::GetProcAddress(kernel, "VerSetConditionMask")) : nullptr;
  if (verify && mask) {
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    version.wSuiteMask = VER_SUITE_TERMINAL;
    return verify(&version, VER_SUITENAME, mask(0, VER_SUITENAME, VER_AND)) != 0;
  }
  CRegKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\ProductOptions", 0, KEY_READ,
                      key.Receive()) != ERROR_SUCCESS) {
    return false;
  }
  wchar_t suites[1024] = {};
  DWORD type = 0;
  DWORD size = sizeof(suites) - 2 * sizeof(wchar_t);  // keeps a double terminator
  if (::RegQueryValueExW(key.Get(), L"ProductSuite", nullptr, &type, reinterpret_cast<BYTE*>(suites), &size) !=
          ERROR_SUCCESS ||
      type != REG_MULTI_SZ) {
    return false;
  }
  for (const wchar_t* entry = suites; *entry; entry += wcslen(entry) + 1) {
    if (wcscmp(entry, L"Terminal Server") == 0) return true;
  }
  return false;
}

// The fixed version of a loaded module from its own version resource.
bool ModuleVersion(HMODULE module, VS_FIXEDFILEINFO& fixed) {
  const HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));
  const HGLOBAL loaded = resource ? ::LoadResource(module, resource) : nullptr;
  const void* data = loaded ? ::LockResource(loaded) : nullptr;
  if (!data) return false;
  std::string copy(static_cast<const char*>(data), ::SizeofResource(module, resource));
  void* value = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(&copy[0], L"\\", &value, &length) || length < sizeof(fixed)) return false;
  fixed = *static_cast<const VS_FIXEDFILEINFO*>(value);
  return true;
}

}  // namespace

// --- Pure text -----------------------------------------------------------------

std::string FlagWords(std::uint32_t f) {
  return Printf("iopl=%1lx %s %s %s %s %s %s %s %s %s %s", static_cast<unsigned long>((f >> 12) & 3),
                Bit(f, 20) ? "vip" : "   ", Bit(f, 19) ? "vif" : "   ", Bit(f, 11) ? "ov" : "nv",
                Bit(f, 10) ? "dn" : "up", Bit(f, 9) ? "ei" : "di", Bit(f, 7) ? "ng" : "pl", Bit(f, 6) ? "zr" : "nz",
                Bit(f, 4) ? "ac" : "na", Bit(f, 2) ? "po" : "pe", Bit(f, 0) ? "cy" : "nc");
}

namespace {
// The folder part of a narrow path: up to its last "\\"; empty without one.
std::string FolderOf(const std::string& path) {
  const std::size_t separator = path.find_last_of('\\');
  return separator == std::string::npos ? std::string() : path.substr(0, separator);
}

std::string SegmentItem(std::uint32_t cs, std::uint32_t ss, std::uint32_t ds, std::uint32_t es, std::uint32_t fs,
                        std::uint32_t gs, std::uint32_t efl) {
  using UL = unsigned long;
  return Printf("cs=%04lx  ss=%04lx  ds=%04lx  es=%04lx  fs=%04lx  gs=%04lx             efl=%08lx", UL{cs}, UL{ss},
                UL{ds}, UL{es}, UL{fs}, UL{gs}, UL{efl});
}
}  // namespace

std::vector<std::string> RegisterItems(const SX86Registers& r) {
  using UL = unsigned long;
  return {Printf("eax=%08lx ebx=%08lx ecx=%08lx edx=%08lx esi=%08lx edi=%08lx\n", UL{r.eax}, UL{r.ebx}, UL{r.ecx},
                 UL{r.edx}, UL{r.esi}, UL{r.edi}),
          Printf("eip=%08lx esp=%08lx ebp=%08lx %s\n", UL{r.eip}, UL{r.esp}, UL{r.ebp}, FlagWords(r.efl).c_str()),
          SegmentItem(r.cs, r.ss, r.ds, r.es, r.fs, r.gs, r.efl)};
}

std::vector<std::string> RegisterItems(const SX64Registers& r) {
  using ULL = unsigned long long;
  return {Printf("rax=%016llx rbx=%016llx rcx=%016llx rdx=%016llx rsi=%016llx rdi=%016llx\n", ULL{r.rax},
                 ULL{r.rbx}, ULL{r.rcx}, ULL{r.rdx}, ULL{r.rsi}, ULL{r.rdi}),
          Printf("r8=%016llx r9=%016llx r10=%016llx r11=%016llx r12=%016llx r13=%016llx r14=%016llx r15=%016llx\n",
                 ULL{r.r8}, ULL{r.r9}, ULL{r.r10}, ULL{r.r11}, ULL{r.r12}, ULL{r.r13}, ULL{r.r14}, ULL{r.r15}),
          Printf("rip=%016llx rsp=%016llx rbp=%016llx %s\n", ULL{r.rip}, ULL{r.rsp}, ULL{r.rbp},
                 FlagWords(r.efl).c_str()),
          SegmentItem(r.cs, r.ss, r.ds, r.es, r.fs, r.gs, r.efl)};
}

std::string BannerItem(DWORD code, std::uint64_t address, const std::string& date, const std::string& exeName,
                       const std::string& exePath, DWORD processId, DWORD threadId) {
  return "\n" + std::string(85, '/') + "\n" +
         Printf("// Exception: 0x%08x, Address: " KORLO_ADDR ", Date/Time %s// Process %s (%s), Process ID: 0x%08x, "
                "Thread ID: 0x%08x\n",
                static_cast<unsigned>(code), static_cast<ReportAddr>(address), date.c_str(), exeName.c_str(),
                exePath.c_str(), static_cast<unsigned>(processId), static_cast<unsigned>(threadId));
}

std::string CtimeText(const SYSTEMTIME& t) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  return Printf("%s %s %2u %02u:%02u:%02u %u\n", kDays[t.wDayOfWeek % 7], kMonths[(t.wMonth + 11) % 12],
                unsigned{t.wDay}, unsigned{t.wHour}, unsigned{t.wMinute}, unsigned{t.wSecond}, unsigned{t.wYear});
}

std::wstring GlobalLockName(bool terminalServices, const std::wstring& path) {
  std::wstring tail = path + L"\\Lock";
  for (wchar_t& c : tail) {
    if (c == L'\\') c = L'/';
  }
  std::wstring name = (terminalServices ? L"Global\\" : L"") + tail;
  if (name.size() > kLockNameChars) name.resize(kLockNameChars);
  return name;
}

std::string PrependSearchFolder(const std::string& searchPath, const std::string& folder, std::size_t capacity) {
  for (std::size_t begin = 0; begin <= searchPath.size();) {
    std::size_t end = searchPath.find(';', begin);
    if (end == std::string::npos) end = searchPath.size();
    if (end - begin == folder.size() && _strnicmp(searchPath.c_str() + begin, folder.c_str(), folder.size()) == 0) {
      return searchPath;
    }
    begin = end + 1;
  }
  const std::string joined = folder + ";" + searchPath;
  return joined.size() < capacity ? joined : searchPath;
}

// --- The writer ------------------------------------------------------------------

// The debug-help functions the report uses, looked up in the loaded library.
struct CExceptionReportFile::SDbgHelp {
  using Addr = decltype(STACKFRAME::AddrPC.Offset);
  using EnumLoadedFn = BOOL(CALLBACK*)(PCSTR, Addr, ULONG, PVOID);
  using EnumSymFn = BOOL(CALLBACK*)(PCSTR, Addr, PVOID);

  explicit SDbgHelp(HMODULE module) : dll(module) {}
  template <class Fn>
  Fn Get(const char* name) {
    return ProcCast<Fn>(::GetProcAddress(dll, name));
  }

  HMODULE dll;
  HANDLE process = ::GetCurrentProcess();
  BOOL(WINAPI* initialize)(HANDLE, PCSTR, BOOL) = Get<decltype(initialize)>("SymInitialize");
  DWORD(WINAPI* getOptions)() = Get<decltype(getOptions)>("SymGetOptions");
  DWORD(WINAPI* setOptions)(DWORD) = Get<decltype(setOptions)>("SymSetOptions");
  BOOL(WINAPI* cleanup)(HANDLE) = Get<decltype(cleanup)>("SymCleanup");
  BOOL(WINAPI* getSearchPath)(HANDLE, PSTR, DWORD) = Get<decltype(getSearchPath)>("SymGetSearchPath");
  BOOL(WINAPI* setSearchPath)(HANDLE, PCSTR) = Get<decltype(setSearchPath)>("SymSetSearchPath");
  BOOL(WINAPI* enumLoaded)(HANDLE, EnumLoadedFn, PVOID) =
      Get<decltype(enumLoaded)>(KORLO_DBGHELP("EnumerateLoadedModules"));
  BOOL(WINAPI* enumModules)(HANDLE, EnumSymFn, PVOID) = Get<decltype(enumModules)>(KORLO_DBGHELP("SymEnumerateModules"));
  Addr(WINAPI* loadModule)(HANDLE, HANDLE, PCSTR, PCSTR, Addr, DWORD) =
      Get<decltype(loadModule)>(KORLO_DBGHELP("SymLoadModule"));
  BOOL(WINAPI* stackWalk)(DWORD, HANDLE, HANDLE, STACKFRAME*, PVOID, PVOID, PVOID, PVOID, PVOID) =
      Get<decltype(stackWalk)>(KORLO_DBGHELP("StackWalk"));
  FARPROC functionTableAccess = ::GetProcAddress(dll, KORLO_DBGHELP("SymFunctionTableAccess"));
  FARPROC getModuleBase = ::GetProcAddress(dll, KORLO_DBGHELP("SymGetModuleBase"));
  BOOL(WINAPI* getModuleInfo)(HANDLE, Addr, IMAGEHLP_MODULE*) =
      Get<decltype(getModuleInfo)>(KORLO_DBGHELP("SymGetModuleInfo"));
  BOOL(WINAPI* getSymFromAddr)(HANDLE, Addr, Addr*, IMAGEHLP_SYMBOL*) =
      Get<decltype(getSymFromAddr)>(KORLO_DBGHELP("SymGetSymFromAddr"));
  BOOL(WINAPI* unDName)(IMAGEHLP_SYMBOL*, PSTR, DWORD) = Get<decltype(unDName)>(KORLO_DBGHELP("SymUnDName"));
  DWORD(WINAPI* undecorate)(PCSTR, PSTR, DWORD, DWORD) = Get<decltype(undecorate)>("UnDecorateSymbolName");
  BOOL(WINAPI* getLineFromAddr)(HANDLE, Addr, DWORD*, IMAGEHLP_LINE*) =
      Get<decltype(getLineFromAddr)>(KORLO_DBGHELP("SymGetLineFromAddr"));
  bool initialized = false;
  CExceptionReportFile* report = nullptr;
};

namespace {
// The one report writer, constructed before the entry point runs.
CExceptionReportFile g_reportFile;
}  // namespace

HMODULE LoadSystemDbgHelp() {
  wchar_t system[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0) return nullptr;
  if (length >= MAX_PATH) {
    ::SetLastError(ERROR_BUFFER_OVERFLOW);
    return nullptr;
  }
  const std::wstring path = std::wstring(system, length) + L"\\dbghelp.dll";
  return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

CExceptionReportFile& CExceptionReportFile::Instance() { return g_reportFile; }

CExceptionReportFile::CExceptionReportFile() {
  m_terminalServices = ProbeTerminalServices();
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  KORLO_ALLOW_DEPRECATED const bool haveVersion = ::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)) != 0;
  if (haveVersion && version.dwMajorVersion >= 4) {
    m_dbghelp = LoadSystemDbgHelp();
    VS_FIXEDFILEINFO fixed = {};
    const bool systemFits = version.dwPlatformId == VER_PLATFORM_WIN32_NT ||
                            (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS && version.dwMajorVersion >= 5);
    m_modernEngine = m_dbghelp && ModuleVersion(m_dbghelp, fixed) && fixed.dwFileVersionMS >= 0x00050000 &&
                     fixed.dwFileVersionLS >= 0x08930001 && systemFits;
  }
  m_mutex.Reset(::CreateMutexW(nullptr, FALSE, nullptr));
  m_exePath = GetModulePath();
  m_callbacks = {&OpenReport, &WriteItem, &CloseReport};
  SetReportPath((m_exePath + L"-exceptions.log").c_str());
}

CExceptionReportFile::~CExceptionReportFile() = default;

bool CExceptionReportFile::SetReportPath(const wchar_t* path) {
  if (!path) return false;
  try {
    ::WaitForSingleObject(m_mutex.Get(), INFINITE);
    m_reportPath = path;
    m_globalLock.Reset();
    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);  // everyone may open it
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, FALSE};
    m_globalLock.Reset(::CreateMutexW(&attributes, FALSE, GlobalLockName(m_terminalServices, path).c_str()));
  } catch (const std::bad_alloc&) {
    ::ReleaseMutex(m_mutex.Get());
    return false;
  }
  ::ReleaseMutex(m_mutex.Get());
  return true;
}

std::wstring CExceptionReportFile::GetReportPath() {
  ::WaitForSingleObject(m_mutex.Get(), INFINITE);
  std::wstring path = m_reportPath;
  ::ReleaseMutex(m_mutex.Get());
  return path;
}

bool CExceptionReportFile::OpenReport(CExceptionReportFile& self) {
  // An abandoned mutex (its owner ended while writing) is owned all the same.
  ::WaitForSingleObject(self.m_mutex.Get(), INFINITE);
  if (self.m_globalLock) ::WaitForSingleObject(self.m_globalLock.Get(), INFINITE);
  self.m_file.Reset(::CreateFileW(self.m_reportPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (self.m_file) return true;
  if (self.m_globalLock) ::ReleaseMutex(self.m_globalLock.Get());
  ::ReleaseMutex(self.m_mutex.Get());
  return false;
}

void CExceptionReportFile::WriteItem(CExceptionReportFile& self, const char* format, va_list args) {
  const int length = std::vsnprintf(self.m_item, sizeof(self.m_item), format, args);
  if (length < 0) return;
  const int narrow = length < static_cast<int>(sizeof(self.m_item)) ? length : static_cast<int>(sizeof(self.m_item)) - 1;
  wchar_t wide[kReportItemBytes];
  const int count = ::MultiByteToWideChar(CP_ACP, 0, self.m_item, narrow, wide, static_cast<int>(kReportItemBytes));
  // Every piece between "\n"s, the last one too, becomes one line.
  for (int begin = 0;;) {
    int end = begin;
    while (end < count && wide[end] != L'\n') ++end;
    DWORD written = 0;
    ::WriteFile(self.m_file.Get(), wide + begin, static_cast<DWORD>((end - begin) * sizeof(wchar_t)), &written,
                nullptr);
    ::WriteFile(self.m_file.Get(), L"\r\n", 2 * sizeof(wchar_t), &written, nullptr);
    if (end >= count) break;
    begin = end + 1;
  }
}

void CExceptionReportFile::CloseReport(CExceptionReportFile& self) {
  self.m_file.Reset();
  if (self.m_globalLock) ::ReleaseMutex(self.m_globalLock.Get());
  ::ReleaseMutex(self.m_mutex.Get());
}

void CExceptionReportFile::Write(const char* format, ...) {
  va_list args;
  va_start(args, format);
  m_callbacks.write(*this, format, args);
  va_end(args);
}

void CExceptionReportFile::WriteCrashReport(EXCEPTION_POINTERS* pointers) {
  if (!m_dbghelp) return;
  SDbgHelp api(m_dbghelp);
  api.report = this;
  const std::string exePath = ToAnsi(m_exePath);
  const std::string exeFolder = FolderOf(exePath);
  if (api.initialize) {
    const std::string searchPath = PrependSearchFolder(kDefaultSearchPath, exeFolder, kSearchPathBytes);
    api.initialized = api.initialize(api.process, searchPath.c_str(), !m_modernEngine) != 0;
  }
  if (api.initialized && api.getOptions && api.setOptions) {
    DWORD options = api.getOptions();
    options = m_modernEngine ? (options | SYMOPT_LOAD_LINES | SYMOPT_DEFERRED_LOADS)
                             : (options & ~(SYMOPT_LOAD_LINES | SYMOPT_DEFERRED_LOADS));
    api.setOptions(options & ~SYMOPT_UNDNAME);
  }
  if (m_callbacks.open(*this)) {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    std::wstring folder, name;
    SplitPath(m_exePath, folder, name);
    Write("%s", BannerItem(record.ExceptionCode, reinterpret_cast<std::uintptr_t>(record.ExceptionAddress),
                           CtimeText(now), ToAnsi(name), exePath, ::GetCurrentProcessId(), ::GetCurrentThreadId())
                    .c_str());
    Write("\n");
    Write("Loaded modules:\n\n");
    WriteModules(api);
    Write("\n");
    WriteRegisters(*pointers->ContextRecord);
    Write("\n");
    Write("\n");
    WriteStack(api, *pointers->ContextRecord);
  }
  if (api.initialized && api.cleanup) api.cleanup(api.process);
  if (m_file) m_callbacks.close(*this);
}

void CExceptionReportFile::WriteModules(SDbgHelp& api) {
  struct SEntry {
    static void Write(SDbgHelp& api, PCSTR moduleName, SDbgHelp::Addr base, ULONG size) {
      CExceptionReportFile& self = *api.report;
      char path[261] = {};
      ::GetModuleFileNameA(::GetModuleHandleA(moduleName), path, sizeof(path));
      VS_FIXEDFILEINFO version = {};
      try {
        version = GetFileVersion(FromAnsi(path));
      } catch (const CExc&) {
        // No version resource: 0.0.0.0.
      }
      self.Write("" KORLO_ADDR " - " KORLO_ADDR " %s (%s) %hu.%hu.%hu.%hu, ", static_cast<ReportAddr>(base),
                 static_cast<ReportAddr>(base + size), moduleName, path, HIWORD(version.dwFileVersionMS),
                 LOWORD(version.dwFileVersionMS), HIWORD(version.dwFileVersionLS), LOWORD(version.dwFileVersionLS));
      if (self.m_modernEngine) {
        char searchPath[kSearchPathBytes] = {};
        if (api.getSearchPath && api.setSearchPath &&
            api.getSearchPath(api.process, searchPath, static_cast<DWORD>(sizeof(searchPath)))) {
          api.setSearchPath(api.process, PrependSearchFolder(searchPath, FolderOf(path), kSearchPathBytes).c_str());
        }
        if (api.loadModule && api.loadModule(api.process, nullptr, path, moduleName, base, size)) {
          self.Write("symbols loaded");
        } else {
          self.Write("no matching symbolic information found (error code: 0x%08x)",
                     static_cast<unsigned>(::GetLastError()));
        }
      } else {
        IMAGEHLP_MODULE module = {};
        module.SizeOfStruct = sizeof(module);
        const bool has = api.getModuleInfo && api.getModuleInfo(api.process, base, &module) &&
                         module.SymType != SymNone;
        self.Write(has ? "symbols loaded" : "no symbols are available");
      }
      self.Write("\n");
    }
    static BOOL CALLBACK Loaded(PCSTR name, SDbgHelp::Addr base, ULONG size, PVOID context) {
      Write(*static_cast<SDbgHelp*>(context), name, base, size);
      return TRUE;
    }
    static BOOL CALLBACK Known(PCSTR name, SDbgHelp::Addr base, PVOID context) {
      SDbgHelp& api = *static_cast<SDbgHelp*>(context);
      IMAGEHLP_MODULE module = {};
      module.SizeOfStruct = sizeof(module);
      const ULONG size = api.getModuleInfo && api.getModuleInfo(api.process, base, &module) ? module.ImageSize : 0;
      Write(api, name, base, size);
      return TRUE;
    }
  };
  if (m_modernEngine) {
    if (api.enumLoaded) api.enumLoaded(api.process, &SEntry::Loaded, &api);
  } else if (api.enumModules) {
    api.enumModules(api.process, &SEntry::Known, &api);
  }
}

void CExceptionReportFile::WriteRegisters(const CONTEXT& c) {
#ifdef _WIN64
  const SX64Registers r = {c.Rax, c.Rbx, c.Rcx, c.Rdx, c.Rsi, c.Rdi, c.R8,     c.R9,     c.R10,    c.R11,
                           c.R12, c.R13, c.R14, c.R15, c.Rip, c.Rsp, c.Rbp,    c.EFlags, c.SegCs,  c.SegSs,
                           c.SegDs, c.SegEs, c.SegFs, c.SegGs};
#else
  const SX86Registers r = {c.Eax, c.Ebx,   c.Ecx,   c.Edx,   c.Esi,   c.Edi,   c.Eip,  c.Esp,
                           c.Ebp, c.EFlags, c.SegCs, c.SegSs, c.SegDs, c.SegEs, c.SegFs, c.SegGs};
#endif
  for (const std::string& item : RegisterItems(r)) Write("%s", item.c_str());
}

void CExceptionReportFile::WriteStack(SDbgHelp& api, const CONTEXT& crashed) {
  Write("Stack frames:\n");
  if (!api.stackWalk) return;
  CONTEXT context = crashed;  // the walk changes it
  STACKFRAME frame = {};
#ifdef _WIN64
  frame.AddrPC.Offset = context.Rip;
  frame.AddrFrame.Offset = context.Rbp;
  frame.AddrStack.Offset = context.Rsp;
#else
  frame.AddrPC.Offset = context.Eip;
  frame.AddrFrame.Offset = context.Ebp;
  frame.AddrStack.Offset = context.Esp;
#endif
  frame.AddrPC.Mode = AddrModeFlat;
  frame.AddrFrame.Mode = AddrModeFlat;
  frame.AddrStack.Mode = AddrModeFlat;
  const WORD machine = OwnMachine();
  for (std::size_t i = 0; i < kMaxFrames; ++i) {
    if (!api.stackWalk(machine, api.process, ::GetCurrentThread(), &frame, &context, nullptr,
                       reinterpret_cast<PVOID>(api.functionTableAccess), reinterpret_cast<PVOID>(api.getModuleBase),
                       nullptr)) {
      break;
    }
    Write("\nFrame address: " KORLO_ADDR "\nReturn address: " KORLO_ADDR "\nParam1: " KORLO_ADDR
          "\nParam2: " KORLO_ADDR "\nParam3: " KORLO_ADDR "\nParam4: " KORLO_ADDR "\n\n" KORLO_ADDR "\t",
          static_cast<ReportAddr>(frame.AddrFrame.Offset), static_cast<ReportAddr>(frame.AddrReturn.Offset),
          static_cast<ReportAddr>(frame.Params[0]), static_cast<ReportAddr>(frame.Params[1]),
          static_cast<ReportAddr>(frame.Params[2]), static_cast<ReportAddr>(frame.Params[3]),
          static_cast<ReportAddr>(frame.AddrPC.Offset));
    WriteSymbol(api, frame.AddrPC.Offset);
    Write("\n\t\t");
    IMAGEHLP_LINE line = {};
    line.SizeOfStruct = sizeof(line);
    DWORD displacement = 0;
    if (m_modernEngine && frame.AddrPC.Offset != 0 && api.getLineFromAddr &&
        api.getLineFromAddr(api.process, frame.AddrPC.Offset, &displacement, &line)) {
      Write("%s(%lu)", line.FileName, static_cast<unsigned long>(line.LineNumber));
      if (displacement != 0) Write(" %+ld bytes", static_cast<long>(displacement));
    } else {
      Write("no line information was available");
    }
    Write("\n");
    if (frame.AddrReturn.Offset == 0) break;
  }
}

void CExceptionReportFile::WriteSymbol(SDbgHelp& api, std::uint64_t address) {
  if (address == 0 || !m_dbghelp) {
    Write("no symbol information was available");
    return;
  }
  IMAGEHLP_MODULE module = {};
  module.SizeOfStruct = sizeof(module);
  const bool knownModule = api.getModuleInfo && api.getModuleInfo(api.process, address, &module);
  if (knownModule) Write("%s!", module.ModuleName);
  // The record with room for the name behind it.
  alignas(IMAGEHLP_SYMBOL) char storage[sizeof(IMAGEHLP_SYMBOL) + kSymbolNameChars] = {};
  auto* symbol = reinterpret_cast<IMAGEHLP_SYMBOL*>(storage);
  symbol->SizeOfStruct = sizeof(IMAGEHLP_SYMBOL);
  symbol->MaxNameLength = kSymbolNameChars;
  SDbgHelp::Addr displacement = 0;
  if (!api.getSymFromAddr || !api.getSymFromAddr(api.process, address, &displacement, symbol)) {
    Write(knownModule ? "<no symbol>" : "no symbol information was available");
    return;
  }
  if (!knownModule) Write("<no module>!");
  Write("%s", symbol->Name);
  if (displacement != 0) Write(" %+ld bytes", static_cast<long>(displacement));
  char undecorated[kSymbolNameChars] = {};
  if (api.unDName && api.unDName(symbol, undecorated, 256)) Write(", %s", undecorated);
  if (api.undecorate && api.undecorate(symbol->Name, undecorated, kSymbolNameChars, UNDNAME_COMPLETE)) {
    Write(", %s", undecorated);
  }
  if (knownModule) {
    static const char* const kTypes[] = {"no symbols", "COFF", "CodeView", "PDB", "export table", "deferred", "SYM"};
    const auto type = static_cast<long>(module.SymType);
    if (type >= 0 && type < 7) {
      Write(", symbol type: %s", kTypes[type]);
    } else {
      Write(", symbol type: %ld", type);
    }
  }
}

}  // namespace crash
