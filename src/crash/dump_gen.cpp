#include "crash/dump_gen.h"

#include "base/exc.h"
#include "base/handle.h"
#include "base/msg.h"
#include "base/path.h"
#include "crash/report_file.h"
#include "log/log.h"
#include "util/file.h"
#include "util/security.h"

#include <dbghelp.h>

#include <iterator>
#include <map>
#include <set>
#include <utility>

namespace crash {
namespace win32 {

namespace {

// Names a crashing thread may lose to other threads crashing at the same time.
constexpr unsigned kNameRaceAttempts = 8;

std::wstring DumpName(const std::wstring& prefix, const std::wstring& id, const std::wstring& extension) {
  return prefix + L"_crash_" + id + L"." + extension;
}

// Oldest first, by last-write time; equal times keep the name seen last.
using DumpsByAge = std::map<std::pair<DWORD, DWORD>, std::wstring>;

DumpsByAge FindDumps(const std::wstring& prefix, const std::wstring& folder, const std::wstring& extension) {
  DumpsByAge dumps;
  try {
    const std::wstring pattern = CombinePath(folder, DumpName(prefix, L"*", extension));
    WIN32_FIND_DATAW data;
    CFindHandle find(::FindFirstFileW(AddLongPathPrefix(pattern).c_str(), &data));
    if (!find) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) return dumps;
      throw CWin32Exc(error);
    }
    do {
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      dumps[{data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime}] = data.cFileName;
    } while (::FindNextFileW(find.Get(), &data));
    const DWORD error = ::GetLastError();
    if (error != ERROR_NO_MORE_FILES) throw CWin32Exc(error);
  } catch (CExc& e) {
    e.AddContext(L"Unable to enumerate dumps stored in a folder. Folder: [%1]. Dump extension: [%2].", folder,
                 extension);
    throw;
  }
  return dumps;
}

// Whether the name carries a decimal identifier, as the in-process
// generators name their dumps; the recorder's names carry process, thread
// and time instead ("<prefix>_crash__<pid>_<tid>_<time>.mdmp").
bool IsNumberedDump(const std::wstring& name, const std::wstring& prefix, const std::wstring& extension) {
  const size_t head = prefix.size() + 7, tail = extension.size() + 1;  // "<prefix>_crash_", ".<extension>"
  if (name.size() <= head + tail) return false;
  return name.substr(head, name.size() - head - tail).find_first_not_of(L"0123456789") == std::wstring::npos;
}

// Keeps the dumps that are numbered (numbered true) or the others.
void KeepDumps(DumpsByAge& dumps, const std::wstring& prefix, const std::wstring& extension, bool numbered) {
  for (auto it = dumps.begin(); it != dumps.end();) {
    it = IsNumberedDump(it->second, prefix, extension) == numbered ? std::next(it) : dumps.erase(it);
  }
}

// Deletes the oldest dumps until at most `keep` remain.
void RemoveOldDumps(const std::wstring& folder, DumpsByAge& dumps, std::size_t keep = MaxStoredDumps - 1) {
  for (auto it = dumps.begin(); it != dumps.end() && dumps.size() > keep;) {
    const std::wstring path = CombinePath(folder, it->second);
    if (::DeleteFileW(AddLongPathPrefix(path).c_str()) == 1) {
      it = dumps.erase(it);
      g_log.Info(L"Dump [%1] deleted.", path);
    } else {
      const CWin32Exc cause(kUseLastError);
      g_log.Error(FormatMsg(L"Old dump cannot be removed. Dump path: [%1].", path), cause);
      ++it;
    }
  }
  if (dumps.size() > keep) {
    throw CExc(L"Cannot cleanup out of date dumps. There are [%1] dumps stored. Maximum allowed dumps number: [%2].",
               DecText(static_cast<std::int32_t>(dumps.size())), DecText(MaxStoredDumps), E_FAIL);
  }
}

// Marks the file for deletion when nothing was written into it; it goes
// when the handle is closed. Through the handle: the name may have been
// taken by something else since.
void DeleteIfEmpty(HANDLE file) {
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(file, &size) || size.QuadPart != 0) return;
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition));
}

}  // namespace

std::wstring NextDumpPath(const std::wstring& prefix, const std::wstring& folder, const std::wstring& extension) {
  try {
    util::MakeProtectedFolderIfMissing(folder);
    DumpsByAge dumps = FindDumps(prefix, folder, extension);
    KeepDumps(dumps, prefix, extension, true);
    RemoveOldDumps(folder, dumps);
    std::set<std::wstring> taken;
    for (const auto& dump : dumps) taken.insert(dump.second);
    for (unsigned id = 0; id < kDumpIdentifiers; ++id) {
      const std::wstring name = DumpName(prefix, std::to_wstring(id), extension);
      // Anything else of that name (a folder, a file made since) takes it too.
      const std::wstring path = CombinePath(folder, name);
      if (taken.count(name) == 0 && ::GetFileAttributesW(AddLongPathPrefix(path).c_str()) == INVALID_FILE_ATTRIBUTES) {
        return path;
      }
    }
    throw CExc(L"All dump identifiers are reserved.", E_FAIL);
  } catch (CExc& e) {
    e.AddContext(L"Cannot define the name of the next crash dump. Dumps folder: [%1].", folder);
    throw;
  }
}

void RemoveOldRecorderDumps(const std::wstring& folder, const std::wstring& prefix) {
  try {
    if (!FileExists(folder)) return;
    DumpsByAge dumps = FindDumps(prefix, folder, L"mdmp");
    KeepDumps(dumps, prefix, L"mdmp", false);
    RemoveOldDumps(folder, dumps, MaxStoredDumps);
  } catch (CExc& e) {
    e.AddContext(L"Cannot remove old dumps of the dump recorder. Dumps folder: [%1].", folder);
    throw;
  }
}

minidump_gen_t::minidump_gen_t() {
  try {
    m_dbghelp = LoadSystemDbgHelp();
    if (!m_dbghelp) {
      const DWORD error = ::GetLastError();
      throw CWin32Exc(L"Cannot load dbghelp.dll library.", error);
    }
    m_writeDump = ProcCast<WriteDumpFn>(::GetProcAddress(m_dbghelp, "MiniDumpWriteDump"));
    if (!m_writeDump) {
      const DWORD error = ::GetLastError();
      throw CWin32Exc(L"MiniDumpWriteDump function is not exported from the dbghelp dynamic library.", error);
    }
  } catch (CExc& e) {
    e.AddContext(L"Minidump writer cannot be initialized.");
    throw;
  }
}

void minidump_gen_t::Generate(const std::wstring& folder, const std::wstring& prefix, EXCEPTION_POINTERS* pointers) {
  try {
    // Threads that crash at once pick their names unlocked, and may pick
    // the same one: the file is created only when new, and the loser of
    // such a race picks again (the winner's file now counts as taken).
    CFileHandle file;
    for (unsigned attempt = 1; !file; ++attempt) {
      const std::wstring path = NextDumpPath(prefix, folder, L"mdmp");
      g_log.Info(L"Writing dump. Dump path: %1.", path);
      file = util::CreateNewProtectedFile(path, GENERIC_READ | GENERIC_WRITE | DELETE, 0, FILE_ATTRIBUTE_NORMAL);
      const DWORD error = file ? ERROR_SUCCESS : ::GetLastError();
      if (!file && (error != ERROR_FILE_EXISTS || attempt == kNameRaceAttempts)) {
        throw CWin32Exc(L"Cannot create a blank minidump file. File path: [%1].", path, error);
      }
    }
    MINIDUMP_EXCEPTION_INFORMATION info = {};
    info.ThreadId = ::GetCurrentThreadId();
    info.ExceptionPointers = pointers;
    info.ClientPointers = FALSE;
    if (m_writeDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file.Get(), MiniDumpNormal, &info, nullptr,
                    nullptr) != 1) {
      const DWORD error = ::GetLastError();
      DeleteIfEmpty(file.Get());
      throw CWin32Exc(L"MiniDumpWriteDump() function call has failed.", error);
    }
  } catch (CExc& e) {
    e.AddContext(L"Crash details cannot be stored in minidump.");
    throw;
  }
}

void legacy_dump_gen_t::Generate(const std::wstring& folder, const std::wstring& prefix,
                                 EXCEPTION_POINTERS* pointers) {
  try {
    // Made here, new, with its access list; the report appends to it. A
    // name taken since it was chosen (another thread's report) is chosen
    // again.
    std::wstring path;
    for (unsigned attempt = 1; path.empty(); ++attempt) {
      const std::wstring candidate = NextDumpPath(prefix, folder, L"log");
      g_log.Info(L"Writing legacy dump. Dump path: %1.", candidate);
      const CFileHandle file = util::CreateNewProtectedFile(
          candidate, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_ATTRIBUTE_NORMAL);
      const DWORD error = file ? ERROR_SUCCESS : ::GetLastError();
      if (file) {
        path = candidate;
      } else if (error != ERROR_FILE_EXISTS || attempt == kNameRaceAttempts) {
        throw CWin32Exc(L"Cannot create the crash report file. File path: [%1].", candidate, error);
      }
    }
    CExceptionReportFile& report = CExceptionReportFile::Instance();
    if (!report.SetReportPath(path.c_str())) throw CExc(L"Cannot set the report path.", E_OUTOFMEMORY);
    report.WriteCrashReport(pointers);
  } catch (CExc& e) {
    e.AddContext(L"Crash details cannot be stored in legacy format.");
    throw;
  }
}

}  // namespace win32
}  // namespace crash
