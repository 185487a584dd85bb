#include "diag/diagnostics.h"

#include "base/exc.h"
#include "base/msg.h"
#include "base/path.h"
#include "diag/cabinet.h"
#include "diag/summary.h"
#include "log/log.h"
#include "logfile/log_folder.h"
#include "plugins/guest_cfg_file.h"
#include "util/security.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace diag {
namespace {

// Room kept for summary.txt; a longer summary is cut.
constexpr std::uint64_t kSummaryReserve = 1024 * 1024;
// What a live log may grow by while the bundle is gathered and still be
// taken whole.
constexpr std::uint64_t kLiveGrowthAllowance = 1024 * 1024;
// Files in one bundle at most (the cabinet format counts them in 16 bits).
constexpr size_t kMaxFiles = 10000;
// A live file read while its writer emptied it is read again, this often.
constexpr int kSnapshotAttempts = 5;
constexpr DWORD kCopyChunk = 256 * 1024;

// The log folder, from the log files' own subsystem, in this one place.
std::wstring DiagnosticsLogFolder() { return GetLogFolder(); }

void Say(const std::wstring& line) {
  g_log.Info(line);
  std::fputs(ToAnsi(line + L"\n").c_str(), stdout);
  std::fflush(stdout);
}

std::wstring Lower(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return static_cast<wchar_t>(::towlower(c)); });
  return text;
}

bool EndsWith(const std::wstring& text, const std::wstring& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::wstring ErrorText(DWORD error) {
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    return L"gone before it was read (renamed or deleted meanwhile, as the log rotation does)";
  }
  return OneLine(CWin32Exc(L"cannot be read", error).GetFullText());
}

// The bytes a file adds to the cabinet at most: its data, the MSZIP
// blocks' headers and a stored block's worst case, its entry.
std::uint64_t Charge(const SPart& part, std::uint64_t bytes) {
  return bytes + (bytes / 32768 + 1) * 16 + 32 + part.name.size() * 3;
}

// --- Sources ----------------------------------------------------------------------

class CMemorySource : public source_t {
 public:
  explicit CMemorySource(std::string bytes) : m_bytes(std::move(bytes)) {}
  DWORD Read(void* buffer, DWORD size) override {
    const size_t count = std::min<size_t>(size, m_bytes.size() - m_at);
    std::copy_n(m_bytes.data() + m_at, count, static_cast<char*>(buffer));
    m_at += count;
    return static_cast<DWORD>(count);
  }

 private:
  std::string m_bytes;
  size_t m_at = 0;
};

// Opens a file of a folder for reading with full sharing, so that its
// writer may go on writing, renaming and deleting it; a reparse point is
// not opened.
CFileHandle OpenShared(const std::wstring& path, DWORD& error) {
  CFileHandle file(::CreateFileW(AddLongPathPrefix(path).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  error = file ? ERROR_SUCCESS : ::GetLastError();
  BY_HANDLE_FILE_INFORMATION info = {};
  if (file && ::GetFileInformationByHandle(file.Get(), &info) &&
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    file.Reset();
    error = ERROR_CANT_ACCESS_FILE;
  }
  return file;
}

// Reads a file front to back from its handle: a file renamed meanwhile is
// read whole under the name it had.
class CFileSource : public source_t {
 public:
  CFileSource(CFileHandle file, std::uint64_t limit) : m_file(std::move(file)), m_left(limit) {}
  DWORD Read(void* buffer, DWORD size) override {
    if (m_left == 0 || m_error != ERROR_SUCCESS) return 0;
    DWORD done = 0;
    if (!::ReadFile(m_file.Get(), buffer, static_cast<DWORD>(std::min<std::uint64_t>(size, m_left)), &done, nullptr)) {
      m_error = ::GetLastError();
      return 0;
    }
    m_left -= done;
    m_read += done;
    return done;
  }
  DWORD Error() const { return m_error; }
  std::uint64_t BytesRead() const { return m_read; }

 private:
  CFileHandle m_file;
  std::uint64_t m_left;
  std::uint64_t m_read = 0;
  DWORD m_error = ERROR_SUCCESS;
};

std::uint64_t SizeOf(HANDLE file) {
  LARGE_INTEGER size = {};
  return ::GetFileSizeEx(file, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

bool ReadAt(HANDLE file, std::uint64_t offset, char* buffer, std::uint64_t count, std::uint64_t& done) {
  done = 0;
  while (done < count) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    DWORD chunk = 0;
    if (!::ReadFile(file, buffer + done, static_cast<DWORD>(std::min<std::uint64_t>(count - done, kCopyChunk)),
                    &chunk, &at)) {
      if (::GetLastError() == ERROR_HANDLE_EOF) return true;
      return false;
    }
    if (chunk == 0) return true;
    done += chunk;
  }
  return true;
}

// The live file as its lines stand: read whole (up to limit), read again
// when its writer emptied it meanwhile (its size fell below what was read,
// or its first bytes changed: a rotation), and cut after its last complete
// line (UTF-16 when it starts with the byte-order mark).
bool SnapshotLiveLog(HANDLE file, std::uint64_t limit, std::string& bytes, std::wstring& note, DWORD& error) {
  for (int attempt = 0; attempt < kSnapshotAttempts; ++attempt) {
    const std::uint64_t size = std::min(SizeOf(file), limit);
    bytes.assign(static_cast<size_t>(size), '\0');
    std::uint64_t done = 0;
    if (!ReadAt(file, 0, &bytes[0], size, done)) return error = ::GetLastError(), false;
    bytes.resize(static_cast<size_t>(done));
    char head[512];
    std::uint64_t headDone = 0;
    const std::uint64_t headSize = std::min<std::uint64_t>(sizeof(head), done);
    if (!ReadAt(file, 0, head, headSize, headDone)) return error = ::GetLastError(), false;
    if (SizeOf(file) >= done && headDone == headSize && bytes.compare(0, static_cast<size_t>(headSize), head,
                                                                      static_cast<size_t>(headSize)) == 0) {
      break;
    }
    note = L"read again: the log rotated while it was copied; ";
  }
  // UTF-16LE: the byte-order mark, or (a file started before its first
  // rotation has none) a first character from the ASCII range.
  const bool utf16 = bytes.size() >= 2 && ((static_cast<unsigned char>(bytes[0]) == 0xFF &&
                                            static_cast<unsigned char>(bytes[1]) == 0xFE) ||
                                           (bytes[0] != '\0' && bytes[1] == '\0'));
  size_t keep = 0;
  if (utf16) {
    keep = static_cast<unsigned char>(bytes[0]) == 0xFF ? 2 : 0;
    for (size_t at = bytes.size() & ~size_t(1); at >= 4; at -= 2) {
      if (bytes[at - 2] == '\n' && bytes[at - 1] == '\0') {
        keep = at;
        break;
      }
    }
  } else {
    const size_t last = bytes.rfind('\n');
    keep = last == std::string::npos ? 0 : last + 1;
  }
  if (keep < bytes.size()) {
    note += FormatMsg(L"copied up to its last complete line (%1 of %2 bytes)", UInt64Text(keep),
                      UInt64Text(bytes.size()));
    bytes.resize(keep);
  } else {
    note += L"copied up to its last complete line";
  }
  return true;
}

// --- The target -------------------------------------------------------------------

// Length of the root of a full path: "C:\" or "\\server\share\".
size_t RootLength(const std::wstring& path) {
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') return 3;
  if (path.compare(0, 2, L"\\\\") == 0) {
    size_t at = path.find(L'\\', 2);
    at = at == std::wstring::npos ? at : path.find(L'\\', at + 1);
    return at == std::wstring::npos ? path.size() : at + 1;
  }
  return 0;
}

// Creates the cabinet file: new (an existing path is refused, never
// overwritten), not through a junction or link, administrators only from
// its creating call. Empty with `reason` set when refused.
CFileHandle CreateTarget(const std::wstring& given, std::wstring& full, std::wstring& reason) {
  std::vector<wchar_t> buffer(32768);
  const DWORD length = ::GetFullPathNameW(given.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
  if (length == 0 || length >= buffer.size()) return reason = L"the path is not valid", CFileHandle();
  full.assign(buffer.data(), length);
  const size_t root = RootLength(full);
  if (root == 0 || full.size() <= root || full.back() == L'\\') {
    return reason = L"the path does not name a file on a drive or share", CFileHandle();
  }
  // Every folder on the way must exist and be a plain folder.
  for (size_t at = full.find(L'\\', root); at != std::wstring::npos; at = full.find(L'\\', at + 1)) {
    const std::wstring folder = full.substr(0, at);
    const DWORD attributes = ::GetFileAttributesW(AddLongPathPrefix(folder).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      return reason = FormatMsg(L"the folder [%1] does not exist", folder), CFileHandle();
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      return reason = FormatMsg(L"the path goes through the junction or link [%1]", folder), CFileHandle();
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return reason = FormatMsg(L"[%1] is not a folder", folder), CFileHandle();
    }
  }
  WIN32_FIND_DATAW found = {};
  CFindHandle existing(::FindFirstFileW(AddLongPathPrefix(full).c_str(), &found));
  if (existing || ::GetFileAttributesW(AddLongPathPrefix(full).c_str()) != INVALID_FILE_ATTRIBUTES) {
    return reason = L"the path exists; it is never overwritten", CFileHandle();
  }
  util::protected_security_t security;
  CFileHandle file(::CreateFileW(AddLongPathPrefix(full).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                                 security.Attributes(), CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) {
    const DWORD error = ::GetLastError();
    reason = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS
                 ? L"the path exists; it is never overwritten"
                 : OneLine(CWin32Exc(L"the file cannot be created", error).GetFullText());
  }
  return file;
}

// Deletes the unfinished cabinet through its handle.
void DeleteByHandle(HANDLE file) {
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition));
}

// --- Parts ------------------------------------------------------------------------

// Files of one folder with their sizes and times, without opening them.
// Folders and reparse points are skipped.
template <class Visit>
void ListFolder(const std::wstring& folder, Visit&& visit) {
  WIN32_FIND_DATAW data = {};
  const std::wstring mask = AddLongPathPrefix(CombinePath(folder, L"*"));
  CFindHandle find(::FindFirstFileExW(mask.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                      FIND_FIRST_EX_LARGE_FETCH));
  if (!find && ::GetLastError() == ERROR_INVALID_PARAMETER) {
    find.Reset(::FindFirstFileExW(mask.c_str(), FindExInfoStandard, &data, FindExSearchNameMatch, nullptr, 0));
  }
  if (!find) return;
  do {
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) continue;
    visit(data);
  } while (::FindNextFileW(find.Get(), &data));
}

SPart MakePart(const std::wstring& folder, const WIN32_FIND_DATAW& data, EPartKind kind, const std::wstring& inCab) {
  SPart part;
  part.path = CombinePath(folder, data.cFileName);
  part.name = inCab + data.cFileName;
  part.kind = kind;
  part.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  part.time = data.ftLastWriteTime;
  return part;
}

bool IsReport(const std::wstring& lower) {
  return EndsWith(lower, L".log") && lower.find(L"_crash_") != std::wstring::npos;
}

void ListDumps(const std::wstring& folder, const std::wstring& inCab, std::vector<SPart>& parts) {
  ListFolder(folder, [&](const WIN32_FIND_DATAW& data) {
    const std::wstring lower = Lower(data.cFileName);
    if (EndsWith(lower, L".mdmp")) parts.push_back(MakePart(folder, data, EPartKind::kMinidump, inCab));
    if (IsReport(lower)) parts.push_back(MakePart(folder, data, EPartKind::kReport, inCab));
  });
}

void ListLogs(const std::wstring& folder, std::vector<SPart>& parts) {
  ListFolder(folder, [&](const WIN32_FIND_DATAW& data) {
    const std::wstring lower = Lower(data.cFileName);
    if (EndsWith(lower, L".mdmp")) {
      parts.push_back(MakePart(folder, data, EPartKind::kMinidump, L"crash\\"));
    } else if (IsReport(lower)) {
      parts.push_back(MakePart(folder, data, EPartKind::kReport, L"crash\\"));
    } else if (EndsWith(lower, L".log")) {
      parts.push_back(MakePart(folder, data, EPartKind::kLiveLog, L"logs\\"));
    } else if (EndsWith(lower, L".gz")) {
      parts.push_back(MakePart(folder, data, EPartKind::kCompressedLog, L"logs\\"));
    }
  });
}

// Newest first within each rank, ranks in the order they are given room:
// the configuration, the crash reports, the logs (live and compressed
// alike), the minidumps.
int Rank(EPartKind kind) {
  switch (kind) {
    case EPartKind::kConfig: return 0;
    case EPartKind::kReport: return 1;
    case EPartKind::kLiveLog:
    case EPartKind::kCompressedLog: return 2;
    default: return 3;
  }
}

// Orders the parts and rules out the minidumps beyond the newest few and
// the files beyond the count a cabinet can hold.
void Order(std::vector<SPart>& parts) {
  std::stable_sort(parts.begin(), parts.end(), [](const SPart& a, const SPart& b) {
    if (Rank(a.kind) != Rank(b.kind)) return Rank(a.kind) < Rank(b.kind);
    return FileTimeToUInt64(a.time) > FileTimeToUInt64(b.time);
  });
  unsigned minidumps = 0;
  size_t files = 0;
  for (SPart& part : parts) {
    if (part.kind == EPartKind::kMinidump && ++minidumps > kMaxMinidumps) {
      part.note = FormatMsg(L"not included: only the newest %1 minidumps are", DecText(kMaxMinidumps));
    } else if (files == kMaxFiles) {
      part.note = FormatMsg(L"not included: a bundle holds at most %1 files", UInt64Text(kMaxFiles));
    } else {
      part.chosen = true;
      ++files;
    }
  }
}

// Adds one chosen part when it fits in what is left of the bound (`left`,
// reduced by what it takes). A part that cannot be read is noted, not
// added. The size that counts is the one the open file has: a live log
// may take some more, for the lines written while it is read.
void AddPart(cab_writer_t& cab, SPart& part, std::uint64_t& left) {
  DWORD error = ERROR_SUCCESS;
  CFileHandle file = OpenShared(part.path, error);
  if (!file) {
    part.note = L"not included: " + ErrorText(error);
    return;
  }
  part.size = SizeOf(file.Get());
  if (Charge(part, part.size) > left) {
    part.note = FormatMsg(L"not included: the bundle would exceed its bound of %1 bytes", UInt64Text(kMaxBundleBytes));
    return;
  }
  part.limit = part.size;
  if (part.kind == EPartKind::kLiveLog) {
    if (Charge(part, part.size + kLiveGrowthAllowance) <= left) part.limit = part.size + kLiveGrowthAllowance;
    std::string bytes;
    std::wstring note;
    if (!SnapshotLiveLog(file.Get(), part.limit, bytes, note, error)) {
      part.note = L"not included: " + ErrorText(error);
      return;
    }
    part.stored = bytes.size();
    CMemorySource source(std::move(bytes));
    cab.Add(part.name, source, part.time);
    part.note = L"included, " + note;
  } else {
    CFileSource source(std::move(file), part.limit);
    cab.Add(part.name, source, part.time);
    part.stored = source.BytesRead();
    part.note = source.Error() == ERROR_SUCCESS
                    ? std::wstring(L"included")
                    : FormatMsg(L"included in part: the read failed after %1 bytes: %2",
                                UInt64Text(source.BytesRead()), ErrorText(source.Error()));
  }
  left -= Charge(part, part.stored);
  part.included = true;
}

std::wstring Count(const std::vector<SPart>& parts, EPartKind kind, const wchar_t* what) {
  size_t found = 0, included = 0;
  std::uint64_t bytes = 0;
  for (const SPart& part : parts) {
    if (part.kind != kind) continue;
    ++found;
    if (part.included) ++included, bytes += part.stored;
  }
  return FormatMsg(L"%1: %2 of %3 added (%4 bytes).", what, UInt64Text(included), UInt64Text(found), UInt64Text(bytes));
}

}  // namespace

int CollectDiagnostics(const SRequest& request) {
  CLogInfoStep step(g_log, L"Collecting diagnostics into [%1].", request.target);
  if (request.target.empty()) {
    Say(L"Usage: KorloGuestHelper.exe -collectDiagnostics <file.cab>");
    return kExitUsage;
  }
  std::wstring full;
  std::wstring reason;
  CFileHandle target = CreateTarget(request.target, full, reason);
  if (!target) {
    Say(FormatMsg(L"The bundle [%1] is refused: %2.", full.empty() ? request.target : full, reason));
    return kExitTargetRefused;
  }
  try {
    SSummaryInput input;
    input.request = &request;
    input.cabinetPath = full;
    ::GetSystemTimeAsFileTime(&input.made);
    std::vector<SPart>& parts = input.parts;
    try {
      input.logFolder = DiagnosticsLogFolder();
      ListLogs(input.logFolder, parts);
    } catch (const CExc& e) {
      input.logFolderError = e.GetFullText();
    }
    const std::wstring programFolder = GetModuleFolder();
    ListDumps(programFolder, L"crash\\program\\", parts);
    input.configPath = CombinePath(programFolder, cfg::CGuestCfgFile::kFileName);
    WIN32_FILE_ATTRIBUTE_DATA config = {};
    if (::GetFileAttributesExW(AddLongPathPrefix(input.configPath).c_str(), GetFileExInfoStandard, &config) &&
        (config.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
      SPart part;
      part.path = input.configPath;
      part.name = cfg::CGuestCfgFile::kFileName;
      part.kind = EPartKind::kConfig;
      part.size = (static_cast<std::uint64_t>(config.nFileSizeHigh) << 32) | config.nFileSizeLow;
      part.time = config.ftLastWriteTime;
      parts.push_back(part);
    }
    Order(parts);

    cab_writer_t cab(target.Get(), full + L".");
    std::uint64_t left = kMaxBundleBytes - kSummaryReserve;
    for (SPart& part : parts) {
      if (part.chosen) AddPart(cab, part, left);
    }
    Say(Count(parts, EPartKind::kLiveLog, L"Logs"));
    Say(Count(parts, EPartKind::kCompressedLog, L"Compressed logs"));
    Say(Count(parts, EPartKind::kReport, L"Crash reports"));
    Say(Count(parts, EPartKind::kMinidump, L"Minidumps"));
    Say(Count(parts, EPartKind::kConfig, L"Agent configuration"));

    std::string summary = BuildSummary(input, static_cast<size_t>(kSummaryReserve));
    const std::uint64_t summaryBytes = summary.size();
    CMemorySource summarySource(std::move(summary));
    cab.Add(L"summary.txt", summarySource, input.made);
    Say(FormatMsg(L"Summary: summary.txt added (%1 bytes).", UInt64Text(summaryBytes)));
    cab.Finish();

    const std::uint64_t size = SizeOf(target.Get());
    Say(FormatMsg(L"The bundle [%1] is complete: %2 bytes.", full, UInt64Text(size)));
    step.Ok();
    return kExitComplete;
  } catch (const CExc& e) {
    DeleteByHandle(target.Get());
    g_log.Error(L"The diagnostics bundle cannot be written.", e);
    Say(FormatMsg(L"The bundle [%1] cannot be written; nothing is left of it: %2", full, e.GetFullText()));
  } catch (const std::bad_alloc&) {
    DeleteByHandle(target.Get());
    Say(FormatMsg(L"The bundle [%1] cannot be written (out of memory); nothing is left of it.", full));
  }
  return kExitWriteFailed;
}

}  // namespace diag
