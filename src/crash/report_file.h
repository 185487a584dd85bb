// The text crash report (the legacy dump format) and its writer.
//
// A report is appended to its file as UTF-16LE lines: a banner, the loaded
// modules with their versions and symbol status, the registers and the
// stack frames with symbols and lines. Two mutexes keep reports whole: an
// unnamed one between the threads of the process and a named one (the
// global lock, named after the report file) between processes.
#pragma once

#include "base/handle.h"
#include "base/win.h"

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

namespace crash {

// Room for one formatted report item; longer items are cut.
constexpr std::size_t kReportItemBytes = 4096;

// Register values as the report prints them.
struct SX86Registers {
  std::uint32_t eax, ebx, ecx, edx, esi, edi, eip, esp, ebp, efl;
  std::uint32_t cs, ss, ds, es, fs, gs;
};
struct SX64Registers {
  std::uint64_t rax, rbx, rcx, rdx, rsi, rdi, r8, r9, r10, r11, r12, r13, r14, r15, rip, rsp, rbp;
  std::uint32_t efl, cs, ss, ds, es, fs, gs;
};

// "iopl=N" and the ten flag words of a flags register value.
std::string FlagWords(std::uint32_t flags);
// The register items of a report, one write each.
std::vector<std::string> RegisterItems(const SX86Registers& r);
std::vector<std::string> RegisterItems(const SX64Registers& r);
// The first item of a report: a line of 85 "/" and the crash's summary.
std::string BannerItem(DWORD code, std::uint64_t address, const std::string& date, const std::string& exeName,
                       const std::string& exePath, DWORD processId, DWORD threadId);
// "Www Mmm dd hh:mm:ss yyyy\n", as ctime writes a time.
std::string CtimeText(const SYSTEMTIME& time);
// Name of the mutex that serialises writers of the report at path across
// processes: "Global\" on terminal-services systems, then the path and
// "\Lock" with every "\" turned into "/"; at most 260 characters.
std::wstring GlobalLockName(bool terminalServices, const std::wstring& path);
// folder;searchPath, unless folder already is one of the entries of
// searchPath (ignoring case) or the result would need more than capacity
// bytes with its terminator.
std::string PrependSearchFolder(const std::string& searchPath, const std::string& folder, std::size_t capacity);

// dbghelp.dll of the system folder, loaded by its full path (its own imports
// searched for from the system folder too), never one beside the program or
// on PATH. Null, with the last error set, when it cannot be loaded. The
// caller never frees it.
HMODULE LoadSystemDbgHelp();

// The report writer, one per process (Instance). Thread-safe.
class CExceptionReportFile {
 public:
  // Where the items of a report go: open before the first item (false:
  // nothing is written), write per item, close after the last.
  struct SCallbacks {
    bool (*open)(CExceptionReportFile& self);
    void (*write)(CExceptionReportFile& self, const char* format, va_list args);
    void (*close)(CExceptionReportFile& self);
  };

  static CExceptionReportFile& Instance();

  // Redirects reports (and the global lock) to path. False only for a null
  // path or when memory runs out.
  bool SetReportPath(const wchar_t* path);
  std::wstring GetReportPath();
  // Appends a report of the crash. Writes nothing when the debug-help
  // library is not loaded.
  void WriteCrashReport(EXCEPTION_POINTERS* pointers);


  CExceptionReportFile();
  ~CExceptionReportFile();
  CExceptionReportFile(const CExceptionReportFile&) = delete;
  CExceptionReportFile& operator=(const CExceptionReportFile&) = delete;

 private:
  struct SDbgHelp;

  void Write(const char* format, ...);
  void WriteModules(SDbgHelp& api);
  void WriteRegisters(const CONTEXT& context);
  void WriteStack(SDbgHelp& api, const CONTEXT& context);
  void WriteSymbol(SDbgHelp& api, std::uint64_t address);

  static bool OpenReport(CExceptionReportFile& self);
  static void WriteItem(CExceptionReportFile& self, const char* format, va_list args);
  static void CloseReport(CExceptionReportFile& self);

  HMODULE m_dbghelp = nullptr;  // never freed
  bool m_modernEngine = false;
  bool m_terminalServices = false;
  std::wstring m_exePath;
  std::wstring m_reportPath;
  CKernelHandle m_mutex;       // between the threads of the process
  CKernelHandle m_globalLock;  // between processes, named after the report
  CFileHandle m_file;          // open between the open and close callbacks
  SCallbacks m_callbacks;
  char m_item[kReportItemBytes] = {};
};

}  // namespace crash
