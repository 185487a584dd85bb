#include "logfile/compress.h"

#include "base/exc.h"
#include "util/file.h"
#include "base/msg.h"
#include "base/win.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <memory>

namespace {

constexpr std::uint32_t kCompressBufferBytes = 1048576;  // 1 MiB
constexpr int kLogCompressionLevel = 9;

}  // namespace

namespace util {

zip_writer_t::zip_writer_t(const std::wstring& path, int level) : m_path(path) {
  const std::string mode = "wb" + std::to_string(level);
  // The wide-path open: the path reaches the file system in UTF-16, so any
  // character of the log folder survives.
  m_file = ::gzopen_w(m_path.c_str(), mode.c_str());
  if (!m_file) {
    CWin32Exc exc(kUseLastError);
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
    CExc exc(L"zlib error: %1", FromAnsi(::zError(result)), E_FAIL);
    exc.AddContext(L"Failed to compress data");
    throw exc;
  }
}

}  // namespace util

std::wstring GetAgedFileName(const std::wstring& path, const std::wstring& extension, std::int32_t age) {
  if (age == 0) return path;
  const std::wstring ageText = DecText(age);
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

void AgeFile(const std::wstring& path, const std::wstring& extension, std::int32_t limit) {
  try {
    for (std::int32_t age = limit; age >= 0; --age) {
      const std::wstring name = GetAgedFileName(path, extension, age);
      if (age == limit) {
        DeleteFileIfExists(name);
      } else if (FileExists(name)) {
        MoveFileTo(name, GetAgedFileName(path, extension, age + 1));
      }
    }
  } catch (CExc& exc) {
    exc.AddContext(L"Cannot age file. File path: [%1]. Extension: [%2]. Ages limit: [%3].", path, extension,
                   DecText(limit));
    throw;
  }
}

void CompressLogFile(CBinFile& file, util::zip_writer_t& writer) {
  try {
    file.SeekToBegin();
    const std::unique_ptr<char[]> buffer(new char[kCompressBufferBytes]);
    for (;;) {
      const DWORD read = file.Read(buffer.get(), kCompressBufferBytes);
      if (read == 0 || read == static_cast<DWORD>(-1)) break;
      writer.Write(buffer.get(), read);
    }
    // The gzip file is complete before the live file loses its content.
    writer.Finish();
    file.SetSize(0);
    file.SeekToBegin();
  } catch (CExc& exc) {
    exc.AddContext(L"Cannot compress log file. Log: [%1].", file.GetPath());
    throw;
  }
}

void ValidateLogSizeLimit(CBinFile& file, const std::wstring& logPath, std::uint32_t maxCount) {
  try {
    const std::wstring gzPath = logPath + L".gz";
    AgeFile(gzPath, L".log.gz", static_cast<std::int32_t>(std::min<std::uint32_t>(maxCount, INT_MAX)));
    util::zip_writer_t writer(gzPath, kLogCompressionLevel);
    CompressLogFile(file, writer);
  } catch (CExc& exc) {
    exc.AddContext(L"Unable to validate log size limit. Log path: [%1].", logPath);
    throw;
  }
}
