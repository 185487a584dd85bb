#include "log/compress.h"

#include "log_files.h"
#include "test_support.h"
#include "util/exc.h"
#include "util/file.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using log_files::ReadGzip;
using testing_support::CScratchDir;
using testing_support::Narrow;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::shared_ptr<CBinFile> OpenLive(const std::wstring& path) {
  return CBinFile::Create(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
}

// Text that compresses, but not to nothing: several buffers' worth of
// distinct lines.
std::string SampleContent(size_t bytes) {
  std::string content;
  content.reserve(bytes + 64);
  for (unsigned i = 0; content.size() < bytes; ++i) {
    content += "line " + std::to_string(i) + " value " + std::to_string(i * 2654435761u) + "\r\n";
  }
  content.resize(bytes);
  return content;
}

TEST(GetAgedFileName, NamesEachAge) {
  struct SCase {
    const wchar_t* path;
    const wchar_t* extension;
    std::int32_t age;
    const wchar_t* expected;
  } cases[] = {
      {L"C:\\logs\\svc.log.gz", L".log.gz", 0, L"C:\\logs\\svc.log.gz"},
      {L"C:\\logs\\svc.log.gz", L".log.gz", 3, L"C:\\logs\\svc.3.log.gz"},
      {L"C:\\logs\\SVC.LOG.GZ", L".log.gz", 1, L"C:\\logs\\SVC.1.log.gz"},
      {L"a.txt", L"log", 2, L"a.txt.2"},
      {L"a.log", L"log", 2, L"a.2.log"},
      {L"a.LOG", L"log", 2, L"a.2.LOG"},
      {L"a.", L"log", 2, L"a.2"},
      {L"a", L"log", 2, L"a.2"},
      {L"C:\\x.y\\a", L"log", 12, L"C:\\x.y\\a.12"},
  };
  for (const SCase& c : cases) {
    EXPECT_EQ(c.expected, GetAgedFileName(c.path, c.extension, c.age)) << Narrow(c.path) << " age " << c.age;
  }
}

TEST(AgeFile, ShiftsTheSeriesAndDropsTheOldest) {
  struct SCase {
    const char* name;
    std::int32_t limit;
    std::vector<std::wstring> before;  // files present, each holding its own name
    // name -> expected content ("" = must not exist)
    std::vector<std::pair<std::wstring, std::string>> after;
  } cases[] = {
      {"limit 2, full series", 2, {L"svc.log.gz", L"svc.1.log.gz", L"svc.2.log.gz"},
       {{L"svc.log.gz", ""}, {L"svc.1.log.gz", "svc.log.gz"}, {L"svc.2.log.gz", "svc.1.log.gz"},
        {L"svc.3.log.gz", ""}}},
      {"limit 2, gap in the series", 2, {L"svc.log.gz", L"svc.2.log.gz"},
       {{L"svc.log.gz", ""}, {L"svc.1.log.gz", "svc.log.gz"}, {L"svc.2.log.gz", ""}}},
      {"limit 0 keeps no numbered copy", 0, {L"svc.log.gz"}, {{L"svc.log.gz", ""}, {L"svc.1.log.gz", ""}}},
      {"negative limit does nothing", -1, {L"svc.log.gz"}, {{L"svc.log.gz", "svc.log.gz"}}},
      {"nothing to age", 50, {}, {{L"svc.log.gz", ""}, {L"svc.1.log.gz", ""}}},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.name);
    CScratchDir dir;
    for (const std::wstring& name : c.before) WriteFileBytes(dir / name, Narrow(name));
    AgeFile(dir / L"svc.log.gz", L".log.gz", c.limit);
    for (const auto& expected : c.after) {
      if (expected.second.empty()) {
        EXPECT_FALSE(Exists(dir / expected.first)) << Narrow(expected.first);
      } else {
        EXPECT_EQ(expected.second, ReadFileBytes(dir / expected.first)) << Narrow(expected.first);
      }
    }
  }
}

TEST(AgeFile, FailedMoveStopsWithContext) {
  CScratchDir dir;
  WriteFileBytes(dir / L"svc.log.gz", "0");
  WriteFileBytes(dir / L"svc.1.log.gz", "1");
  WriteFileBytes(dir / L"svc.2.log.gz", "2");
  // Held open without delete sharing, svc.1.log.gz cannot be renamed.
  CFileHandle held(::CreateFileW((dir / L"svc.1.log.gz").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held.IsValid());
  try {
    AgeFile(dir / L"svc.log.gz", L".log.gz", 2);
    FAIL() << "no exception";
  } catch (const CExc& exc) {
    ASSERT_GE(exc.GetMessages().size(), 2u);
    EXPECT_EQ(L"Cannot age file. File path: [" + (dir / L"svc.log.gz") + L"]. Extension: [.log.gz]. Ages limit: [2].",
              exc.GetMessages()[0]);
    EXPECT_NE(0, exc.GetCode());
  }
  // The oldest was already dropped; the younger ones stay where they were.
  EXPECT_FALSE(Exists(dir / L"svc.2.log.gz"));
  EXPECT_EQ("1", ReadFileBytes(dir / L"svc.1.log.gz"));
  EXPECT_EQ("0", ReadFileBytes(dir / L"svc.log.gz"));
}

TEST(ValidateLogSizeLimit, CompressesLiveFileAndEmptiesIt) {
  struct SCase {
    const char* name;
    size_t bytes;
  } cases[] = {
      {"empty live file gives an empty gzip file", 0},
      {"one buffer", 1000},
      {"several 1 MiB buffers", 2 * 1048576 + 12345},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.name);
    CScratchDir dir;
    const std::wstring live = dir / L"svc.log";
    const std::string content = SampleContent(c.bytes);
    WriteFileBytes(live, content);
    WriteFileBytes(dir / L"svc.log.gz", "previous");
    auto file = OpenLive(live);
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
  auto file = OpenLive(live);
  try {
    ValidateLogSizeLimit(*file, live, 0);
    FAIL() << "no exception";
  } catch (const CExc& exc) {
    ASSERT_GE(exc.GetMessages().size(), 2u);
    EXPECT_EQ(L"Unable to validate log size limit. Log path: [" + live + L"].", exc.GetMessages()[0]);
    EXPECT_EQ(L"Cannot age file. File path: [" + live + L".gz]. Extension: [.log.gz]. Ages limit: [0].",
              exc.GetMessages()[1]);
  }
  EXPECT_EQ(7u, file->GetSize());
}

TEST(ZipWriter, FailsToOpenInMissingFolder) {
  CScratchDir dir;
  const std::wstring path = dir / L"missing\\svc.log.gz";
  try {
    util::zip_writer_t writer(path, 9);
    FAIL() << "no exception";
  } catch (const CWin32Exc& exc) {
    ASSERT_GE(exc.GetMessages().size(), 1u);
    EXPECT_EQ(L"Failed open gz file " + path, exc.GetMessages()[0]);
    EXPECT_NE(0u, exc.GetWin32Error());
  }
}

TEST(CompressLogFile, FailureAfterCompressionLeavesLiveFileWhole) {
  CScratchDir dir;
  const std::wstring live = dir / L"svc.log";
  WriteFileBytes(live, "content");
  // Opened for reading only: the content compresses, but the file cannot be
  // emptied afterwards.
  auto file = CBinFile::Create(live, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  util::zip_writer_t writer(dir / L"svc.log.gz", 9);
  try {
    CompressLogFile(*file, writer);
    FAIL() << "no exception";
  } catch (const CExc& exc) {
    ASSERT_GE(exc.GetMessages().size(), 2u);
    EXPECT_EQ(L"Cannot compress log file. Log: [" + live + L"].", exc.GetMessages()[0]);
  }
  file.reset();
  EXPECT_EQ("content", ReadFileBytes(live));
  EXPECT_EQ("content", ReadGzip(dir / L"svc.log.gz"));
}

}  // namespace
