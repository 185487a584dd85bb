// Helpers for the tests that read the log files on disk: gzip files read
// back with zlib, and a scope that installs a writer into g_log and takes it
// out again.
#pragma once

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
