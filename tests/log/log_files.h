// Helpers for the tests that read the log files on disk: gzip files read
// back with zlib, and a scope that installs a writer into g_log and takes it
// out again.
#pragma once

#include "base/compat.h"
#include "log/log.h"
#include "test_support.h"

#include <zlib.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace log_files {

// The whole decompressed content of a gzip file. Fails the test when the
// file is not gzip (zlib would pass plain files through) or is damaged.
inline std::string ReadGzip(const std::wstring& path) {
  const std::string raw = testing_support::ReadFileBytes(path);
  EXPECT_TRUE(raw.size() >= 2 && raw[0] == '\x1F' && raw[1] == '\x8B') << "not gzip: " << testing_support::Narrow(path);
  gzFile file = ::gzopen_w(path.c_str(), "rb");
  if (!file) return std::string();
  std::string content;
  std::vector<char> buffer(1 << 20);
  int read = 0;
  while ((read = ::gzread(file, buffer.data(), static_cast<unsigned>(buffer.size()))) > 0) {
    content.append(buffer.data(), static_cast<size_t>(read));
  }
  EXPECT_EQ(0, read) << "damaged gzip file: " << testing_support::Narrow(path);
  EXPECT_EQ(Z_OK, ::gzclose(file));
  return content;
}

// Runs the Unix program /bin/<command> with the Unix form of path as its
// last argument, through Wine's start of Unix programs, which does not wait
// for it: waits up to 5 s until path is listed or not, as `listed` says.
// False outside Wine or when that did not happen. (The system tells a link
// to a device only by listing, and cannot delete it.)
inline bool RunOnUnixPath(const std::wstring& command, const std::wstring& path, bool listed) {
  using ToUnix = char*(CDECL*)(const wchar_t*);
  const auto toUnix = ProcCast<ToUnix>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name"));
  char* unixPath = toUnix ? toUnix(path.c_str()) : nullptr;
  if (!unixPath) return false;
  testing_support::RunProcess(L"Z:\\bin\\" + command + L" " + testing_support::Widen(unixPath));
  ::HeapFree(::GetProcessHeap(), 0, unixPath);
  WIN32_FIND_DATAW found;
  for (int i = 0; i < 500 && CFindHandle(::FindFirstFileW(path.c_str(), &found)).IsValid() != listed; ++i) ::Sleep(10);
  return CFindHandle(::FindFirstFileW(path.c_str(), &found)).IsValid() == listed;
}

// Installs a writer into g_log at level 1 and removes it again, so that the
// files it holds open can be deleted.
class CLogWriterScope {
 public:
  explicit CLogWriterScope(std::shared_ptr<CLogWriter> writer) {
    g_log.SetWriter(std::move(writer));
    g_log.SetLevel(kLogMessage);
  }
  ~CLogWriterScope() { g_log.SetWriter(nullptr); }
  CLogWriterScope(const CLogWriterScope&) = delete;
  CLogWriterScope& operator=(const CLogWriterScope&) = delete;
};

}  // namespace log_files
