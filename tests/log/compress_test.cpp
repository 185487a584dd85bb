#include "logfile/compress.h"

#include "exc_checks.h"
#include "log_files.h"
#include "test_support.h"
#include "base/exc.h"
#include "util/file.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using log_files::ReadGzip;
using namespace testing_support;

std::wstring AgedName(std::int64_t age) {
  return age == 0 ? L"svc.log.gz" : L"svc." + std::to_wstring(age) + L".log.gz";
}

// The aged copies of svc.log in one text: for ages 0 to 3, the one-character
// content of each copy, or "-" where there is none.
std::string Series(const CScratchDir& dir, int from = 0) {
  std::string series;
  for (int age = from; age <= 3; ++age) series += Exists(dir / AgedName(age)) ? ReadFileBytes(dir / AgedName(age)) : "-";
  return series;
}

void MakeSeries(const CScratchDir& dir, const std::string& series) {
  for (size_t age = 0; age < series.size(); ++age) {
    if (series[age] != '-') WriteFileBytes(dir / AgedName(static_cast<std::int64_t>(age)), series.substr(age, 1));
  }
}

std::shared_ptr<CBinFile> OpenLive(const std::wstring& path, const std::string& content) {
  WriteFileBytes(path, content);
  return CBinFile::Create(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
}

TEST(GetAgedFileName, NamesEachAge) {
  const std::pair<std::wstring, std::wstring> cases[] = {  // {result, expected}
      {GetAgedFileName(L"C:\\logs\\svc.log.gz", L".log.gz", 0), L"C:\\logs\\svc.log.gz"},
      {GetAgedFileName(L"C:\\logs\\SVC.LOG.GZ", L".log.gz", 3), L"C:\\logs\\SVC.3.log.gz"},
      {GetAgedFileName(L"a.txt", L"log", 2), L"a.txt.2"},
      {GetAgedFileName(L"C:\\x.y\\a", L"log", 12), L"C:\\x.y\\a.12"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, c.first);
}

// Any limit a registry DWORD gives is one search of the folder: a limit of
// INT_MAX walked age by age would not end in this test's lifetime.
TEST(AgeFile, ShiftsTheSeriesAndDropsTheOldest) {
  const struct {
    std::int32_t limit;
    const char* before;
    const char* after;
  } cases[] = {
      {2, "012-", "-01-"},
      {2, "0-2-", "-0--"},  // a gap in the series
      {1, "0123", "-023"},  // ages above the limit are left alone
      {0, "0---", "----"},  // limit 0 keeps no numbered copy
      {-1, "0---", "0---"},  // a negative limit does nothing
      {INT32_MAX, "01--", "-01-"},
  };
  for (const auto& c : cases) {
    CScratchDir dir;
    MakeSeries(dir, c.before);
    WriteFileBytes(dir / L"svc.02.log.gz", "not an age");
    WriteFileBytes(dir / AgedName(INT32_MAX), "oldest");
    AgeFile(dir / L"svc.log.gz", L".log.gz", c.limit);
    EXPECT_EQ(c.after, Series(dir)) << "limit " << c.limit << ", before " << c.before;
    EXPECT_EQ(c.limit != INT32_MAX, Exists(dir / AgedName(INT32_MAX))) << c.limit;
    EXPECT_TRUE(Exists(dir / L"svc.02.log.gz"));
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
  EXPECT_EQ(L"Cannot age file. File path: [" + (dir / L"svc.log.gz") + L"]. Extension: [.log.gz]. Ages limit: [2].",
            e->GetMessages()[0]);
  EXPECT_EQ("01--", Series(dir)) << "the oldest is dropped first; the younger ones stay where they were";
}

// An empty live file gives an empty gzip file; a large one goes through
// several buffers. A count of 0x80000000 or more is a negative age limit:
// nothing is aged and the newest copy is replaced.
TEST(ValidateLogSizeLimit, CompressesLiveFileAndEmptiesIt) {
  const struct {
    size_t bytes;
    std::uint32_t count;
    const char* after;  // the series beside the new svc.log.gz, from age 1
  } cases[] = {{0, 50, "p1-"}, {2 * 1048576 + 12345, 50, "p1-"}, {1000, 0xFFFFFFFF, "1--"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    CScratchDir dir;
    const std::wstring live = dir / L"svc.log";
    std::string content;
    for (unsigned i = 0; content.size() < c.bytes; ++i) content += "line " + std::to_string(i * 2654435761u) + "\r\n";
    content.resize(c.bytes);
    MakeSeries(dir, "p1");
    auto file = OpenLive(live, content);
    ValidateLogSizeLimit(*file, live, c.count);
    EXPECT_EQ(content, ReadGzip(dir / L"svc.log.gz"));
    EXPECT_EQ(c.after, Series(dir, 1));
    EXPECT_EQ(0u, file->GetSize());
    file->Write("next", 4);  // the position is at the beginning
    file.reset();
    EXPECT_EQ("next", ReadFileBytes(live));
  }
}

TEST(ValidateLogSizeLimit, FailedAgingKeepsLiveFileWhole) {
  CScratchDir dir;
  const std::wstring live = dir / L"svc.log";
  // A folder where the gzip file belongs, and a maximum count of 0: aging
  // cannot delete it, so the complete new copy is dropped and nothing is
  // emptied.
  ASSERT_TRUE(::CreateDirectoryW((dir / L"svc.log.gz").c_str(), nullptr));
  auto file = OpenLive(live, "content");
  const auto e = CatchExc([&] { ValidateLogSizeLimit(*file, live, 0); });
  ASSERT_TRUE(e);
  EXPECT_EQ(L"Unable to validate log size limit. Log path: [" + live + L"].", e->GetMessages()[0]);
  EXPECT_EQ(7u, file->GetSize());
  EXPECT_TRUE(FilesIn(dir.Path(), L"*.part").empty()) << "the new copy stays";
}

// Under Wine the Unix device that is always full stands for a disk that
// fills up: a small block fails only when Finish flushes it (a large one
// fails in Write: see the rotating writer's test). The live file keeps its
// lines; and the live file opened for reading only fails after the gzip file
// is complete.
TEST(CompressLogFile, FailureLeavesLiveFileWhole) {
  const std::wstring full = L"Z:\\dev\\full";
  const auto openFull = [&] {
    return CFileHandle(
        ::CreateFileW(full.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  };
  if (!openFull()) GTEST_SKIP() << "no always-full device";
  const struct {
    size_t bytes;
    bool toFullDevice;
    const wchar_t* cause;  // the line below the context
  } cases[] = {{100, true, L"Failed to compress data"}, {100, false, L"Cannot set the new physical size 0 of the file ["}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    CScratchDir dir;
    const std::wstring live = dir / L"svc.log";
    std::string content(c.bytes, 'x');
    auto file = OpenLive(live, content);
    if (!c.toFullDevice) {
      file = CBinFile::Create(live, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    }
    util::zip_writer_t writer = c.toFullDevice ? util::zip_writer_t(openFull(), full, 9)
                                                : util::zip_writer_t(dir / L"svc.log.gz", 9);
    const auto e = CatchExc([&] { CompressLogFile(*file, writer); });
    ASSERT_TRUE(e);
    ASSERT_GE(e->GetMessages().size(), 3u);
    EXPECT_EQ(L"Cannot compress log file. Log: [" + live + L"].", e->GetMessages()[0]);
    EXPECT_TRUE(StartsWith(e->GetMessages()[1], c.cause)) << Narrow(e->GetMessages()[1]);
    if (c.toFullDevice) {
      EXPECT_TRUE(StartsWith(e->GetMessages()[2], L"zlib error: ")) << Narrow(e->GetMessages()[2]);
      EXPECT_EQ(E_FAIL, e->GetCode());
    }
    file.reset();
    EXPECT_EQ(content, ReadFileBytes(live));
    if (!c.toFullDevice) {
      EXPECT_EQ(content, ReadGzip(dir / L"svc.log.gz"));
    }
  }
}

}  // namespace
