#include "logfile/compress.h"

#include "exc_checks.h"
#include "log_files.h"
#include "test_support.h"
#include "base/exc.h"
#include "util/file.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using log_files::ReadGzip;
using testing_support::CatchExc;
using testing_support::CScratchDir;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring AgedName(size_t age) {
  return age == 0 ? L"svc.log.gz" : L"svc." + std::to_wstring(age) + L".log.gz";
}

// The aged copies of svc.log in one text: for ages 0 to 3, the one-character
// content of each copy, or "-" where there is none.
std::string Series(const CScratchDir& dir) {
  std::string series;
  for (size_t age = 0; age <= 3; ++age) {
    series += Exists(dir / AgedName(age)) ? ReadFileBytes(dir / AgedName(age)) : "-";
  }
  return series;
}

void MakeSeries(const CScratchDir& dir, const std::string& series) {
  for (size_t age = 0; age < series.size(); ++age) {
    if (series[age] != '-') WriteFileBytes(dir / AgedName(age), series.substr(age, 1));
  }
}

// Text that compresses, but not to nothing: several buffers' worth of
// distinct lines.
std::string SampleContent(size_t bytes) {
  std::string content;
  for (unsigned i = 0; content.size() < bytes; ++i) content += "line " + std::to_string(i * 2654435761u) + "\r\n";
  return content.substr(0, bytes);
}

TEST(GetAgedFileName, NamesEachAge) {
  const std::pair<std::wstring, std::wstring> cases[] = {  // {result, expected}
      {GetAgedFileName(L"C:\\logs\\svc.log.gz", L".log.gz", 0), L"C:\\logs\\svc.log.gz"},
      {GetAgedFileName(L"C:\\logs\\svc.log.gz", L".log.gz", 3), L"C:\\logs\\svc.3.log.gz"},
      {GetAgedFileName(L"C:\\logs\\SVC.LOG.GZ", L".log.gz", 1), L"C:\\logs\\SVC.1.log.gz"},
      {GetAgedFileName(L"a.txt", L"log", 2), L"a.txt.2"},
      {GetAgedFileName(L"a.LOG", L"log", 2), L"a.2.LOG"},
      {GetAgedFileName(L"a.", L"log", 2), L"a.2"},
      {GetAgedFileName(L"C:\\x.y\\a", L"log", 12), L"C:\\x.y\\a.12"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, c.first);
}

TEST(AgeFile, ShiftsTheSeriesAndDropsTheOldest) {
  const struct {
    std::int32_t limit;
    const char* before;
    const char* after;
  } cases[] = {
      {2, "012-", "-01-"},
      {2, "0-2-", "-0--"},  // a gap in the series
      {0, "0---", "----"},  // limit 0 keeps no numbered copy
      {-1, "0---", "0---"},  // a negative limit does nothing
      {50, "----", "----"},
  };
  for (const auto& c : cases) {
    CScratchDir dir;
    MakeSeries(dir, c.before);
    AgeFile(dir / L"svc.log.gz", L".log.gz", c.limit);
    EXPECT_EQ(c.after, Series(dir)) << "limit " << c.limit << ", before " << c.before;
  }
}

TEST(AgeFile, FailedMoveStopsWithContext) {
  CScratchDir dir;
  MakeSeries(dir, "012");
  // Held open without delete sharing, svc.1.log.gz cannot be renamed.
  CFileHandle held(::CreateFileW((dir / L"svc.1.log.gz").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held.IsValid());
  const auto e = CatchExc([&] { AgeFile(dir / L"svc.log.gz", L".log.gz", 2); });
  ASSERT_TRUE(e);
  ASSERT_GE(e->GetMessages().size(), 2u);
  EXPECT_EQ(L"Cannot age file. File path: [" + (dir / L"svc.log.gz") + L"]. Extension: [.log.gz]. Ages limit: [2].",
            e->GetMessages()[0]);
  EXPECT_NE(0, e->GetCode());
  EXPECT_EQ("01--", Series(dir)) << "the oldest is dropped first; the younger ones stay where they were";
}

TEST(ValidateLogSizeLimit, CompressesLiveFileAndEmptiesIt) {
  // An empty live file gives an empty gzip file; a large one goes through
  // several buffers.
  for (const size_t bytes : {size_t{0}, size_t{1000}, size_t{2 * 1048576 + 12345}}) {
    SCOPED_TRACE(bytes);
    CScratchDir dir;
    const std::wstring live = dir / L"svc.log";
    const std::string content = SampleContent(bytes);
    WriteFileBytes(live, content);
    WriteFileBytes(dir / L"svc.log.gz", "previous");
    auto file = CBinFile::Create(live, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
    file->SeekToEnd();

    ValidateLogSizeLimit(*file, live, 50);

    EXPECT_EQ(content, ReadGzip(dir / L"svc.log.gz"));
    EXPECT_EQ("previous", ReadFileBytes(dir / L"svc.1.log.gz"));
    EXPECT_EQ(0u, file->GetSize());
    // The position is at the beginning: the next write starts the file.
    file->Write("next", 4);
    file.reset();
    EXPECT_EQ("next", ReadFileBytes(live));
  }
}

TEST(ValidateLogSizeLimit, FailedAgingKeepsLiveFileWhole) {
  CScratchDir dir;
  const std::wstring live = dir / L"svc.log";
  WriteFileBytes(live, "content");
  // A folder where the gzip file belongs, and a maximum count of 0: aging
  // cannot delete it, so nothing is compressed and nothing is emptied.
  ASSERT_TRUE(::CreateDirectoryW((dir / L"svc.log.gz").c_str(), nullptr));
  auto file = CBinFile::Create(live, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
  const auto e = CatchExc([&] { ValidateLogSizeLimit(*file, live, 0); });
  ASSERT_TRUE(e);
  ASSERT_GE(e->GetMessages().size(), 2u);
  EXPECT_EQ(L"Unable to validate log size limit. Log path: [" + live + L"].", e->GetMessages()[0]);
  EXPECT_EQ(L"Cannot age file. File path: [" + live + L".gz]. Extension: [.log.gz]. Ages limit: [0].",
            e->GetMessages()[1]);
  EXPECT_EQ(7u, file->GetSize());
}

TEST(ZipWriter, FailsToOpenInMissingFolder) {
  CScratchDir dir;
  const std::wstring path = dir / L"missing\\svc.log.gz";
  const auto e = CatchExc<CWin32Exc>([&] { util::zip_writer_t writer(path, 9); });
  ASSERT_TRUE(e);
  EXPECT_EQ(L"Failed open gz file " + path, e->GetMessages()[0]);
  EXPECT_NE(0u, e->GetWin32Error());
}

TEST(CompressLogFile, FailureAfterCompressionLeavesLiveFileWhole) {
  CScratchDir dir;
  const std::wstring live = dir / L"svc.log";
  WriteFileBytes(live, "content");
  // Opened for reading only: the content compresses, but the file cannot be
  // emptied afterwards.
  auto file = CBinFile::Create(live, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  util::zip_writer_t writer(dir / L"svc.log.gz", 9);
  const auto e = CatchExc([&] { CompressLogFile(*file, writer); });
  ASSERT_TRUE(e);
  ASSERT_GE(e->GetMessages().size(), 2u);
  EXPECT_EQ(L"Cannot compress log file. Log: [" + live + L"].", e->GetMessages()[0]);
  file.reset();
  EXPECT_EQ("content", ReadFileBytes(live));
  EXPECT_EQ("content", ReadGzip(dir / L"svc.log.gz"));
}

}  // namespace
