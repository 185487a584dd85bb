// Helpers for the tests that read the log files on disk: gzip files read
// back with zlib, UTF-16LE content split into lines, and a scope that
// installs a writer into g_log and takes it out again.
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
  EXPECT_TRUE(raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0x1F &&
              static_cast<unsigned char>(raw[1]) == 0x8B)
      << "not a gzip file: " << testing_support::Narrow(path);
  gzFile file = ::gzopen_w(path.c_str(), "rb");
  if (!file) {
    ADD_FAILURE() << "cannot open " << testing_support::Narrow(path);
    return std::string();
  }
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

using testing_support::SplitLines;

// The text after the level tag and its four blanks ("  INFO    "), or the
// whole line when it has no such tag.
inline std::wstring LineText(const std::wstring& line) {
  static const std::wstring kTag = L"  INFO    ";
  const size_t tag = line.find(kTag);
  return tag == std::wstring::npos ? line : line.substr(tag + kTag.size());
}

inline std::vector<std::wstring> LineTexts(const std::wstring& text) {
  std::vector<std::wstring> texts;
  for (const std::wstring& line : SplitLines(text)) texts.push_back(LineText(line));
  return texts;
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
