#include "logfile/file_writer.h"

#include "logfile/compress.h"
#include "logfile/log_folder.h"
#include "settings/settings.h"
#include "base/exc.h"
#include "util/file.h"
#include "util/security.h"
#include "base/msg.h"

#include <exception>

namespace {

// The configured name and then base.1.ext .. base.998.ext.
constexpr int kOpenAttempts = 999;
// A line buffer that has grown beyond this (a very long message) is given
// back after its line instead of being kept for the next one.
constexpr size_t kKeptLineChars = 4096;

// Sets a flag of the writer for one scope, unless it was set already (by an
// outer call on the same thread): then the scope does not own it.
class CReentryClaim {
 public:
  explicit CReentryClaim(bool& flag) : m_flag(flag), m_owner(!flag) { m_flag = true; }
  ~CReentryClaim() {
    if (m_owner) m_flag = false;
  }
  CReentryClaim(const CReentryClaim&) = delete;
  CReentryClaim& operator=(const CReentryClaim&) = delete;
  bool Owner() const { return m_owner; }

 private:
  bool& m_flag;
  const bool m_owner;
};

// Opens the log file, or creates it for administrators only, whatever its
// folder passes on. A link of that name is refused, checked by path before
// anything is opened (some systems follow a link even when asked to open
// the link itself).
std::shared_ptr<CBinFile> OpenLogFile(const std::wstring& path, DWORD shareMode) {
  const DWORD attributes = ::GetFileAttributesW(AddLongPathPrefix(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    throw CExc(L"The log file [%1] is a link; it is not opened.", path, HRESULT_FROM_WIN32(ERROR_CANT_ACCESS_FILE));
  }
  util::protected_security_t security;
  return CBinFile::CreateWithSecurity(path, GENERIC_READ | GENERIC_WRITE, shareMode, OPEN_ALWAYS,
                                      security.Attributes());
}

}  // namespace

// --- CFileLogWriter ------------------------------------------------------------

CFileLogWriter::CFileLogWriter(bool threadColumn) : m_threadColumn(threadColumn) {}

CFileLogWriter::~CFileLogWriter() = default;

void CFileLogWriter::Reopen() {
  CLog::CLogLock::CHold hold(m_lock);
  if (!hold) return;
  m_file.reset();
  OpenFile();
}

void CFileLogWriter::Write(std::int32_t level, CLog& /*log*/, std::int32_t alignment, const std::wstring& text) {
  CLog::CLogLock::CHold hold(m_lock);
  if (!hold) return;  // held by a thread that crashed inside this writer
  try {
    if (NeedNewFile() || !m_file) OpenFile();
    if (!m_file) return;
    // The line is built in one buffer kept from line to line: this is the
    // hot path of every log line. A Write nested in this one (the header a
    // rotation writes) builds its line in a buffer of its own.
    const CReentryClaim claim(m_lineClaimed);
    std::wstring nestedLine;
    std::wstring& line = claim.Owner() ? m_line : nestedLine;
    line.clear();
    AppendLogLine(line, level, alignment, text, m_threadColumn);
    WriteRaw(line);
    if (line.capacity() > kKeptLineChars) std::wstring().swap(line);
  } catch (const CExc&) {
    // The line is lost; the next one starts again with opening the file.
  } catch (const std::exception&) {
    // Out of memory while building the line: the same.
  }
}

void CFileLogWriter::WriteRaw(const std::wstring& text) {
  WriteBytes(text.data(), static_cast<std::uint32_t>(text.size() * sizeof(wchar_t)));
}

std::wstring CFileLogWriter::GetCurrentPath() {
  CLog::CLogLock::CHold hold(m_lock);
  if (!hold) return std::wstring();
  return m_currentPath;
}

void CFileLogWriter::WriteBytes(const void* bytes, std::uint32_t size) { m_file->Write(bytes, size); }

void CFileLogWriter::OpenFile() {
  std::wstring path = GetFilePath();
  std::wstring folder, file, base, extension;
  SplitPath(path, folder, file);
  SplitFileName(file, base, extension);

  std::shared_ptr<CBinFile> opened;
  for (int attempt = 1; attempt <= kOpenAttempts && !opened; ++attempt) {
    try {
      opened = OpenLogFile(path, m_shareMode);
    } catch (const CLockFileExc&) {
      // Another process holds this name: try the next numbered one.
      path = FormatMsg(L"%1\\%2.%3.%4", folder, base, DecText(attempt), extension);
    }
  }
  if (!opened) throw CExc(L"Unable to retrieve locked logs.", E_FAIL);
  opened->SeekToEnd();
  m_file = std::move(opened);
  m_currentPath = path;
}

// --- CFileLogWriterWithRotation ------------------------------------------------

CFileLogWriterWithRotation::CFileLogWriterWithRotation(const std::wstring& folder, const std::wstring& name,
                                                       bool threadColumn,
                                                       std::shared_ptr<CLogHeaderWriter> headerWriter)
    : CFileLogWriter(threadColumn),
      m_folder(folder),
      m_name(name),
      m_headerWriter(std::move(headerWriter)),
      m_maxSize(GetAgentMaxLogSize()),
      m_maxCount(GetAgentMaxLogCount()) {}

CFileLogWriterWithRotation::~CFileLogWriterWithRotation() = default;

std::wstring CFileLogWriterWithRotation::GetFilePath() { return JoinPath({m_folder, m_name + L".log"}); }

void CFileLogWriterWithRotation::WriteRaw(const std::wstring& text) {
  const auto bytes = static_cast<std::uint32_t>(text.size() * sizeof(wchar_t));
  WriteBytes(text.data(), bytes);
  if (m_size < 0) {
    m_size = static_cast<std::int64_t>(File().GetSize());
  } else {
    m_size += bytes;
  }
  CheckRotation();
}

void CFileLogWriterWithRotation::CheckRotation() {
  if (m_size <= static_cast<std::int64_t>(m_maxSize)) return;
  // A line logged while the file is being aged (a warning of a file check)
  // is appended to the old content and must not start a rotation of its own.
  const CReentryClaim claim(m_rotating);
  if (!claim.Owner()) return;
  try {
    ValidateLogSizeLimit(File(), GetFilePath(), m_maxCount,
                         [this](const std::wstring& path) { return CreateCompressedFile(path); });
  } catch (const CExc& exc) {
    AppendRotationFailure(exc);
  } catch (const std::exception&) {
    // Out of memory: no text to leave either.
  }
  // Whatever failed, the file starts again from here: a failed rotation is
  // tried again after another size limit of lines, not on every line.
  m_size = 0;
  try {
    static const unsigned char kByteOrderMark[] = {0xFF, 0xFE};
    WriteBytes(kByteOrderMark, sizeof(kByteOrderMark));
  } catch (const CExc&) {
    // A full disk: the header below is lost the same way, line by line.
  }
  // Re-enters g_log and this writer on this thread; both locks are recursive.
  if (m_headerWriter) m_headerWriter->WriteHeader();
}

CFileHandle CFileLogWriterWithRotation::CreateCompressedFile(const std::wstring& path) {
  return util::CreateGzipFile(path);
}

void CFileLogWriterWithRotation::AppendRotationFailure(const CExc& exc) {
  // The reason goes into the live file itself, as it stands; the file was
  // not emptied and logging goes on in it. It is appended: a failure while
  // compressing leaves the position inside the old lines, and a failed
  // truncation leaves it at the beginning.
  try {
    File().SeekToEnd();
    const std::wstring text = exc.GetFullText();
    WriteBytes(text.data(), static_cast<std::uint32_t>(text.size() * sizeof(wchar_t)));
  } catch (const CExc&) {
    // A full disk: the reason is lost, the restart below still happens.
  } catch (const std::exception&) {
  }
}
