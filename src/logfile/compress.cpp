#include "logfile/compress.h"

#include "base/exc.h"
#include "base/handle.h"
#include "base/path.h"
#include "util/file.h"
#include "util/security.h"
#include "base/msg.h"
#include "base/win.h"

#include <fcntl.h>
#include <io.h>
#include <zlib.h>

#include <cstdint>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr std::uint32_t kCompressBufferBytes = 1048576;  // 1 MiB
constexpr int kLogCompressionLevel = 9;
// The new compressed copy while it is written, beside name.log.gz.
constexpr wchar_t kPartSuffix[] = L".part";

}  // namespace

namespace util {

CFileHandle CreateGzipFile(const std::wstring& path) {
  CFileHandle file;
  DWORD error = ERROR_SUCCESS;
  const std::wstring longPath = AddLongPathPrefix(path);
  const DWORD attributes = ::GetFileAttributesW(longPath.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    error = ERROR_CANT_ACCESS_FILE;
  } else {
    if (attributes != INVALID_FILE_ATTRIBUTES) ::DeleteFileW(longPath.c_str());
    // Created anew, so that it gets its own access list: an existing file
    // would keep the one it has.
    file = util::CreateNewProtectedFile(path, GENERIC_WRITE, 0, FILE_ATTRIBUTE_NORMAL);
    if (!file) error = ::GetLastError();
  }
  if (!file) {
    CWin32Exc exc(error);
    exc.AddContext(L"Failed open gz file %1", path);
    throw exc;
  }
  return file;
}

zip_writer_t::zip_writer_t(const std::wstring& path, int level) : m_path(path) { Open(CreateGzipFile(path), level); }

zip_writer_t::zip_writer_t(CFileHandle file, const std::wstring& path, int level) : m_path(path) {
  Open(std::move(file), level);
}

void zip_writer_t::Open(CFileHandle file, int level) {
  const std::string mode = "wb" + std::to_string(level);
  const HANDLE self = ::GetCurrentProcess();
  DWORD error = ERROR_SUCCESS;
  if (!::DuplicateHandle(self, file.Get(), self, m_flushHandle.Receive(), 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    error = ::GetLastError();
  } else {
    const int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(file.Get()), _O_WRONLY | _O_BINARY);
    if (fd == -1) {
      error = ERROR_TOO_MANY_OPEN_FILES;
    } else {
      file.Release();  // the descriptor owns it now
      m_file = ::gzdopen(fd, mode.c_str());
      if (!m_file) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        ::_close(fd);
      }
    }
  }
  if (!m_file) {
    CWin32Exc exc(error);
    exc.AddContext(L"Failed open gz file %1", m_path);
    throw exc;
  }
}

zip_writer_t::~zip_writer_t() {
  if (m_file) ::gzclose(m_file);
}

void zip_writer_t::Write(const void* buffer, std::uint32_t count) {
  if (count == 0) return;
  try {
    if (::gzwrite(m_file, buffer, count) != 0) return;
    int error = Z_OK;
    const char* text = ::gzerror(m_file, &error);
    // Any zlib error fails the write, not only a system I/O error: the
    // caller empties the live file once its content is written, and a
    // silently short gzip file would lose those lines.
    if (error != Z_OK) throw CExc(L"zlib error: %1", FromAnsi(text ? text : ""), E_FAIL);
  } catch (CExc& exc) {
    exc.AddContext(L"Failed to compress data");
    throw;
  }
}

void zip_writer_t::Finish() {
  if (!m_file) return;
  gzFile file = m_file;
  m_file = nullptr;
  const int result = ::gzclose(file);
  if (result != Z_OK) {
    m_flushHandle.Reset();
    CExc exc(L"zlib error: %1", FromAnsi(::zError(result)), E_FAIL);
    exc.AddContext(L"Failed to compress data");
    throw exc;
  }
  const bool flushed = ::FlushFileBuffers(m_flushHandle.Get()) != FALSE;
  const DWORD error = flushed ? ERROR_SUCCESS : ::GetLastError();
  m_flushHandle.Reset();
  if (!flushed) throw CWin32Exc(FormatMsg(L"Cannot flush the file [%1] to disk.", m_path), error);
}

}  // namespace util

namespace {

// The aged name of path with ageText standing for the age.
std::wstring AgedName(const std::wstring& path, const std::wstring& extension, const std::wstring& ageText) {
  // An extension given with its dot (".log.gz") is matched as the path's
  // ending: name.log.gz -> name.3.log.gz.
  if (!extension.empty() && extension[0] == L'.' && path.size() >= extension.size() &&
      EqualNoCase(path.data() + path.size() - extension.size(), extension.size(), extension.data(), extension.size())) {
    return path.substr(0, path.size() - extension.size()) + L"." + ageText + extension;
  }
  const size_t dot = path.rfind(L'.');
  if (dot == std::wstring::npos) return path + L"." + ageText;
  if (dot + 1 == path.size()) return path + ageText;
  if (!EqualNoCase(path.data() + dot + 1, path.size() - dot - 1, extension.data(), extension.size())) {
    return path + L"." + ageText;
  }
  return path.substr(0, dot) + L"." + ageText + path.substr(dot);
}

// The ages from 1 to limit that have a file, oldest first. One search of the
// folder instead of one check per age: the limit may be as large as the
// registry allows, while only a few copies exist.
std::vector<std::int32_t> ExistingAges(const std::wstring& path, const std::wstring& extension,
                                       std::int32_t limit) {
  const std::wstring marker = L"*";
  const std::wstring pattern = AgedName(path, extension, marker);
  const size_t at = pattern.rfind(marker);
  const std::wstring prefix = pattern.substr(0, at), suffix = pattern.substr(at + 1);
  std::wstring folder, file;
  SplitPath(pattern, folder, file);
  std::vector<std::wstring> files, folders;
  SearchFiles(pattern, files, folders);
  std::vector<std::int32_t> ages;
  for (const std::wstring& name : files) {
    // The search also matches through 8.3 short names: only the long name
    // counts, with the age written as GetAgedFileName writes it.
    const std::wstring full = folder.empty() ? name : folder + pattern[folder.size()] + name;
    if (full.size() <= prefix.size() + suffix.size() || !EqualNoCase(full.substr(0, prefix.size()), prefix) ||
        !EqualNoCase(full.substr(full.size() - suffix.size()), suffix)) {
      continue;
    }
    const std::wstring digits = full.substr(prefix.size(), full.size() - prefix.size() - suffix.size());
    if (digits.size() > 10 || digits[0] == L'0' || digits.find_first_not_of(L"0123456789") != std::wstring::npos) {
      continue;
    }
    const std::int64_t age = std::stoll(digits);
    if (age <= limit) ages.push_back(static_cast<std::int32_t>(age));
  }
  std::sort(ages.rbegin(), ages.rend());
  return ages;
}

}  // namespace

std::wstring GetAgedFileName(const std::wstring& path, const std::wstring& extension, std::int32_t age) {
  return age == 0 ? path : AgedName(path, extension, DecText(age));
}

void AgeFile(const std::wstring& path, const std::wstring& extension, std::int32_t limit) {
  if (limit < 0) return;
  try {
    std::vector<std::int32_t> ages = ExistingAges(path, extension, limit);
    if (FileExists(path)) ages.push_back(0);
    for (const std::int32_t age : ages) {
      const std::wstring name = GetAgedFileName(path, extension, age);
      if (age == limit) {
        DeleteFileIfExists(name);
      } else {
        MoveFileTo(name, GetAgedFileName(path, extension, age + 1));
      }
    }
  } catch (CExc& exc) {
    exc.AddContext(L"Cannot age file. File path: [%1]. Extension: [%2]. Ages limit: [%3].", path, extension,
                   DecText(limit));
    throw;
  }
}

void CompressLogFile(CBinFile& file, util::zip_writer_t& writer, const std::function<void()>& placeCompressed) {
  try {
    file.SeekToBegin();
    const std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCompressBufferBytes]);
    if (!buffer) throw CExc(L"Cannot allocate the compression buffer.", E_OUTOFMEMORY);
    for (;;) {
      const DWORD read = file.Read(buffer.get(), kCompressBufferBytes);
      if (read == 0 || read == static_cast<DWORD>(-1)) break;
      writer.Write(buffer.get(), read);
    }
    // The gzip file is complete, and in its place, before the live file
    // loses its content.
    writer.Finish();
    if (placeCompressed) placeCompressed();
    file.SetSize(0);
    file.SeekToBegin();
  } catch (CExc& exc) {
    exc.AddContext(L"Cannot compress log file. Log: [%1].", file.GetPath());
    throw;
  }
}

void ValidateLogSizeLimit(CBinFile& file, const std::wstring& logPath, std::uint32_t maxCount,
                          const std::function<CFileHandle(const std::wstring&)>& createPart) {
  const std::wstring gzPath = logPath + L".gz";
  const std::wstring partPath = gzPath + kPartSuffix;
  try {
    CFileHandle part = createPart ? createPart(partPath) : util::CreateGzipFile(partPath);
    try {
      // Written beside the series and moved into it only once complete:
      // whenever the process dies, every name.log.gz is a whole gzip file.
      util::zip_writer_t writer(std::move(part), partPath, kLogCompressionLevel);
      CompressLogFile(file, writer, [&] {
        // The count is a DWORD of the registry; as an age limit it is
        // signed, so 0x80000000 and above age nothing and the newest copy
        // is replaced.
        AgeFile(gzPath, L".log.gz", static_cast<std::int32_t>(maxCount));
        DeleteFileIfExists(gzPath);
        MoveFileTo(partPath, gzPath);
      });
    } catch (...) {
      // A failed compression costs no copy of the series: what it wrote
      // goes. The writer is closed by now. (A name that could not be
      // created, a link say, is not touched.)
      try {
        DeleteFileIfExists(partPath);
      } catch (const CExc&) {
        // Replaced by the next rotation.
      }
      throw;
    }
  } catch (CExc& exc) {
    exc.AddContext(L"Unable to validate log size limit. Log path: [%1].", logPath);
    throw;
  }
}
