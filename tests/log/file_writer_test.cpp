#include "logfile/file_writer.h"

#include "logfile/compress.h"
#include "logfile/log_folder.h"
#include "log_files.h"
#include "settings/settings.h"
#include "test_support.h"
#include "base/msg.h"
#include "util/file.h"

#include <gtest/gtest.h>

#include <climits>
#include <cwchar>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using log_files::CLogWriterScope;
using log_files::ReadGzip;
using namespace testing_support;

const std::wstring kSeparator(96, L'=');

// Logs "first", then brings the live file to the size limit with one raw
// block ending in CR LF, the way a long run of lines would, and gives the
// file's bytes. Holds the log lock, as CLog does.
std::string FillToLimit(CFileLogWriterWithRotation& writer, const std::wstring& live) {
  g_log.Info(L"first");
  const size_t chars = static_cast<size_t>((writer.GetMaxSize() - ReadFileBytes(live).size()) / 2);
  EXPECT_GE(chars, 2u);
  CLog::CLogLock::CHold hold(g_log.GetLock());
  writer.WriteRaw(std::wstring(chars - 2, L'x') + L"\r\n");
  return ReadFileBytes(live);
}

// The header a rotation writes: separator, "Starting new log", the banner.
void ExpectHeader(const std::vector<std::wstring>& texts) {
  ASSERT_GT(texts.size(), 4u);
  EXPECT_EQ((std::vector<std::wstring>{kSeparator, L"Starting new log", L"Version", L"{",
                                       L"    Module name: [log_writer_test.exe]."}),
            std::vector<std::wstring>(texts.begin(), texts.begin() + 5));
}

// What a failed rotation leaves in the live file after its old bytes `full`:
// the crossing line, the error text written raw after a line end (`detail`
// among its lines), the byte-order mark and a fresh header, then the next line.
void ExpectFailedRotation(const std::string& bytes, const std::string& full, const std::wstring& live,
                          const std::wstring& detail) {
  ASSERT_GT(bytes.size(), full.size());
  EXPECT_EQ(0, bytes.compare(0, full.size(), full)) << "old lines lost";
  const std::wstring text = Utf16(bytes.substr(full.size()));
  const size_t error = text.find(L"\r\nUnable to validate log size limit. Log path: [" + live + L"].\r\n");
  ASSERT_NE(std::wstring::npos, error) << "no error text, or not written raw after a line end";
  EXPECT_EQ(L"crossing", LogLineTexts(text.substr(0, error + 2)).back());
  const size_t mark = text.find(L'\xFEFF', error);
  ASSERT_NE(std::wstring::npos, mark);
  const std::wstring errorText = text.substr(error, mark - error);
  EXPECT_NE(std::wstring::npos, errorText.find(detail)) << Narrow(errorText);
  EXPECT_EQ(std::wstring::npos, errorText.find(L"  INFO    ")) << "error text not raw";
  const std::vector<std::wstring> texts = LogLineTexts(text.substr(mark + 1));
  ExpectHeader(texts);
  EXPECT_EQ(L"after", texts.back());
}

class RotatingWriterTest : public testing::Test {
 protected:
  void SetUp() override {
    g_log.SetWriter(nullptr);
    g_log.ShiftAlignment(-1000);
  }
  void TearDown() override { g_log.SetWriter(nullptr); }
  std::shared_ptr<CFileLogWriterWithRotation> MakeWriter(const std::wstring& name = L"svc") {
    return std::make_shared<CFileLogWriterWithRotation>(m_dir.Path(), name, true,
                                                        std::make_shared<CLogHeaderWriter>(L"Version", nullptr));
  }

  CTestRegKey m_settings{kSettingsKeyPath};  // the limits the writers read
  CScratchDir m_dir;
};

// The limits come from the registry: the size at which the live file
// rotates, and how many compressed copies the rotation keeps. A count of
// 0x80000000 or more ages nothing: the newest copy is replaced.
TEST_F(RotatingWriterTest, RotatesOnlyAboveLimit) {
  const DWORD kUnset = 0;
  const struct {
    DWORD size, count;
    std::uint32_t maxSize;
    std::vector<std::string> aged;  // svc.1.log.gz .. svc.3.log.gz afterwards ("" for none)
  } cases[] = {
      {kUnset, kUnset, 20971520, {"p", "1", "2"}},
      {20971520 + 65536, 1, 20971520 + 65536, {"p", "2", ""}},
      {1048576, 0xFFFFFFFF, 20971520, {"1", "2", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    CScratchDir dir;
    if (c.size != kUnset) m_settings.SetDword(L"AgentMaxLogSize", c.size);
    if (c.count != kUnset) m_settings.SetDword(L"AgentMaxLogCount", c.count);
    const auto aged = [&dir](int age) { return dir / (age ? L"svc." + std::to_wstring(age) + L".log.gz" : L"svc.log.gz"); };
    const char* before[] = {"p", "1", "2"};
    for (int age = 0; age < 3; ++age) WriteFileBytes(aged(age), before[age]);
    const std::wstring live = dir / L"svc.log", gz = dir / L"svc.log.gz";
    auto writer = std::make_shared<CFileLogWriterWithRotation>(dir.Path(), L"svc", true,
                                                               std::make_shared<CLogHeaderWriter>(L"Version", nullptr));
    CLogWriterScope scope(writer);
    EXPECT_EQ(c.maxSize, writer->GetMaxSize());
    const std::string full = FillToLimit(*writer, live);
    EXPECT_EQ(c.maxSize, full.size());
    EXPECT_EQ("p", ReadFileBytes(gz)) << "rotated at the limit";

    g_log.Info(L"crossing");
    // Both made for administrators only, whatever the folder passes on.
    EXPECT_FALSE(OpenToUsers(live));
    EXPECT_FALSE(OpenToUsers(gz));
    // The crossing line went into the old content, whole.
    const std::string compressed = ReadGzip(gz);
    EXPECT_EQ(0, compressed.compare(0, full.size(), full));
    EXPECT_EQ(L"crossing", LogLineTexts(Utf16(compressed)).back());
    for (int age = 1; age <= 3; ++age) {
      EXPECT_EQ(c.aged[age - 1], ReadFileBytes(aged(age))) << age;
    }

    g_log.Info(L"after");
    const std::string restarted = ReadFileBytes(live);
    EXPECT_EQ("\xFF\xFE", restarted.substr(0, 2));
    const std::vector<std::wstring> texts = LogLineTexts(Utf16(restarted));
    ExpectHeader(texts);
    EXPECT_EQ((std::vector<std::wstring>{L"}", L"after"}), std::vector<std::wstring>(texts.end() - 2, texts.end()));
  }
}

// The live file on a disk that fills up: the writes after the next
// `writesLeft` go to the always-full device, and fail as on a full disk.
struct CFillingWriter : CFileLogWriterWithRotation {
  CFillingWriter(const std::wstring& folder)
      : CFileLogWriterWithRotation(folder, L"svc", true, std::make_shared<CLogHeaderWriter>(L"Version", nullptr)) {}
  void WriteBytes(const void* bytes, std::uint32_t size) override {
    if (writesLeft-- > 0) return CFileLogWriterWithRotation::WriteBytes(bytes, size);
    CBinFile::Create(L"Z:\\dev\\full", GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING)->Write(bytes, size);
  }
  // The compressed copy on the always-full device while set.
  CFileHandle CreateCompressedFile(const std::wstring& path) override {
    if (!compressToFullDevice) return CFileLogWriterWithRotation::CreateCompressedFile(path);
    return CFileHandle(::CreateFileW(L"Z:\\dev\\full", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                     nullptr));
  }
  int writesLeft = INT_MAX;
  bool compressToFullDevice = false;
};

// The disk fills up during the compression (in one case before the error text
// too): older copies stay, the live file keeps its lines and the next line does
// not try again. Once space returns, the next size limit rotates: the live file
// restarts with the mark and the header, and the series ages by one, whole.
TEST_F(RotatingWriterTest, DiskFullDuringRotationCostsNoCopyAndRetriesAfterTheNextLimit) {
  for (const bool errorTextLost : {false, true}) {
    SCOPED_TRACE(errorTextLost);
    CScratchDir dir;
    const std::wstring live = dir / L"svc.log", part = dir / L"svc.log.gz.part";
    const std::vector<std::wstring> series = {dir / L"svc.log.gz", dir / L"svc.1.log.gz", dir / L"svc.2.log.gz"};
    if (!CFileHandle(::CreateFileW(L"Z:\\dev\\full", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                   nullptr))) {
      GTEST_SKIP() << "no always-full device";
    }
    for (int age = 0; age < 2; ++age) util::zip_writer_t(series[age], 9).Write(age ? "one" : "zero", age ? 3 : 4);
    auto writer = std::make_shared<CFillingWriter>(dir.Path());
    writer->compressToFullDevice = true;
    CLogWriterScope scope(writer);
    const std::string full = FillToLimit(*writer, live);
    writer->writesLeft = errorTextLost ? 1 : INT_MAX;
    g_log.Info(L"crossing");
    writer->writesLeft = INT_MAX;
    writer->compressToFullDevice = false;
    EXPECT_FALSE(Exists(part));
    g_log.Info(L"after");
    EXPECT_FALSE(Exists(series[2]));
    EXPECT_EQ("zero", ReadGzip(series[0]));
    EXPECT_EQ("one", ReadGzip(series[1]));
    const std::string kept = ReadFileBytes(live);
    if (errorTextLost) {
      EXPECT_EQ(0, kept.compare(0, full.size(), full));
      EXPECT_EQ((std::vector<std::wstring>{L"crossing", L"after"}), LogLineTexts(Utf16(kept.substr(full.size()))));
    } else {
      ExpectFailedRotation(kept, full, live, L"No space left on device");
    }

    const std::wstring limit(writer->GetMaxSize() / 2, L'y');
    {
      CLog::CLogLock::CHold hold(g_log.GetLock());
      writer->WriteRaw(limit);
    }
    g_log.Info(L"rotated");
    EXPECT_TRUE(ReadGzip(series[0]) == kept + std::string(reinterpret_cast<const char*>(limit.data()), limit.size() * 2));
    EXPECT_EQ("zero", ReadGzip(series[1]));
    EXPECT_EQ("one", ReadGzip(series[2]));
    const std::string restarted = ReadFileBytes(live);
    EXPECT_EQ("\xFF\xFE", restarted.substr(0, 2));
    const std::vector<std::wstring> texts = LogLineTexts(Utf16(restarted));
    ExpectHeader(texts);
    EXPECT_EQ(L"rotated", texts.back());
  }
}

TEST(RotationChild, Run) {
  if (ChildRole().empty()) GTEST_SKIP() << "runs only as a child";
  CLogWriterScope scope(std::make_shared<CFileLogWriterWithRotation>(ChildRole(), L"svc", true, nullptr));
  g_log.Info(L"next");
  ::ExitProcess(0);
}

// A process killed at several moments of the rotation of a 21 MiB live
// file, and run again: every compressed copy is a whole gzip file, and the
// old lines are whole in one of them or still in the live file.
TEST(RotatingWriter, KilledDuringRotationLeavesOnlyWholeCopies) {
  CScratchDir dir;
  std::wstring lines;
  for (int i = 0; lines.size() < 21 * 524288; ++i) lines += L"old line " + std::to_wstring(i * 2654435761u) + L"\r\n";
  const std::string old(reinterpret_cast<const char*>(lines.data()), lines.size() * 2);
  WriteFileBytes(dir / L"svc.log", old);
  for (DWORD killAfterMs : {1000, 2500, 60000}) {
    SCOPED_TRACE(killAfterMs);
    RunSelfAsChild("RotationChild.Run", dir.Path(), killAfterMs);
    bool kept = ReadFileBytes(dir / L"svc.log").compare(0, old.size(), old) == 0;
    for (const std::wstring& copy : FilesIn(dir.Path(), L"*.gz")) kept |= ReadGzip(dir / copy).compare(0, old.size(), old) == 0;
    EXPECT_TRUE(kept);
  }
  EXPECT_FALSE(ReadFileBytes(dir / L"svc.log").size() > old.size()) << "never rotated";
}

// Another program holding the live file (and the first numbered one)
// without sharing: share modes are checked per handle, so handles of this
// process stand in for it. Reopen tries the configured name first again and
// appends to what is there. A new file starts without a byte-order mark.
TEST_F(RotatingWriterTest, LockedLogFallsBackToNumberedNameUntilReopened) {
  std::vector<CFileHandle> held;
  for (const wchar_t* name : {L"svc.log", L"svc.1.log"}) {
    held.emplace_back(::CreateFileW((m_dir / name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.back().IsValid()) << ::GetLastError();
  }
  auto writer = MakeWriter();
  CLogWriterScope scope(writer);
  EXPECT_EQ(L"", writer->GetCurrentPath());
  g_log.Info(L"to the numbered file");
  EXPECT_EQ(m_dir / L"svc.2.log", writer->GetCurrentPath());
  EXPECT_NE('\xFF', ReadFileBytes(m_dir / L"svc.2.log").at(0));
  held.clear();
  WriteFileBytes(m_dir / L"svc.log", std::string("x\0\r\0\n\0", 6));
  g_log.Info(L"still there");
  writer->Reopen();
  EXPECT_EQ(m_dir / L"svc.log", writer->GetCurrentPath());
  g_log.Info(L"back");
  EXPECT_EQ((std::vector<std::wstring>{L"to the numbered file", L"still there"}),
            LogLineTexts(Utf16(ReadFileBytes(m_dir / L"svc.2.log"))));
  EXPECT_EQ((std::vector<std::wstring>{L"x", L"back"}), LogLineTexts(Utf16(ReadFileBytes(m_dir / L"svc.log"))));
  EXPECT_EQ("", ReadFileBytes(m_dir / L"svc.1.log"));
}

// 8 threads write numbered lines through g_log until the live file has
// rotated at least twice. Every line must come back exactly once, whole,
// with its own thread's id, and in each thread's order.
TEST_F(RotatingWriterTest, ConcurrentLinesSurviveRotationsWhole) {
  constexpr int kThreads = 8;
  auto writer = MakeWriter();
  CLogWriterScope scope(writer);
  auto payload = [](int thread, int line) {
    wchar_t text[128];
    std::swprintf(text, 128, L"T%d L%07d %ls", thread, line,
                  std::wstring(64, static_cast<wchar_t>(L'a' + (thread * 7 + line) % 26)).c_str());
    return std::wstring(text);
  };
  std::wstring sample;
  AppendLogLine(sample, kLogInfo, 0, payload(0, 0), true);
  const std::uint64_t target = writer->GetMaxSize() * 2ULL + writer->GetMaxSize() / 4;
  const int perThread = static_cast<int>(target / (sample.size() * sizeof(wchar_t) * kThreads)) + 1;

  std::vector<DWORD> ids(kThreads);
  CKernelHandle start(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ids[t] = ::GetCurrentThreadId();
      ::WaitForSingleObject(start.Get(), INFINITE);
      for (int i = 0; i < perThread; ++i) g_log.Info(payload(t, i));
    });
  }
  ::SetEvent(start.Get());
  for (std::thread& thread : threads) thread.join();

  // Oldest first: svc.1.log.gz, svc.log.gz, then the live file.
  ASSERT_TRUE(Exists(m_dir / L"svc.1.log.gz")) << "fewer than two rotations";
  ASSERT_FALSE(Exists(m_dir / L"svc.2.log.gz")) << "more than two rotations: the test lost lines";
  std::wstring all = Utf16(ReadGzip(m_dir / L"svc.1.log.gz")) + Utf16(ReadGzip(m_dir / L"svc.log.gz")) +
                     Utf16(ReadFileBytes(m_dir / L"svc.log"));
  std::vector<std::vector<int>> seen(kThreads, std::vector<int>(static_cast<size_t>(perThread), 0));
  std::vector<int> last(kThreads, -1);
  int bad = 0;
  auto report = [&bad](const char* why, const std::wstring& line) {
    if (++bad <= 5) ADD_FAILURE() << why << ": " << Narrow(line.substr(0, 200));
  };
  for (const std::wstring& line : SplitLines(all)) {
    const std::wstring text = LogLineText(line);
    int t = -1, i = -1;
    if (std::swscanf(text.c_str(), L"T%d L%d", &t, &i) != 2 || t < 0 || t >= kThreads || i < 0 || i >= perThread) {
      const bool header = text == kSeparator || text == L"Starting new log" || text == L"Version" || text == L"{" ||
                          text == L"}" || text.rfind(L"    Module ", 0) == 0 || text == L"    Build edition: [standard].";
      if (!header) report("unexpected line", line);
      continue;
    }
    if (text != payload(t, i)) {
      report("torn line", line);
    } else if (line.find(L"  " + DecText(static_cast<std::int32_t>(ids[t])) + L"  INFO    ") == std::wstring::npos) {
      report("wrong thread column", line);
    } else if (i <= last[t]) {
      report("out of order", line);
    }
    ++seen[t][i];
    last[t] = i;
  }
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < perThread; ++i) {
      if (seen[t][i] != 1) report("not seen exactly once", payload(t, i));
    }
  }
  EXPECT_EQ(0, bad);
}

}  // namespace
