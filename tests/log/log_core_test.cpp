#include "log/log.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cwchar>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct SLine {
  std::int32_t level;
  std::int32_t alignment;
  std::wstring text;
  DWORD thread;
};

class CRecordingWriter : public CLogWriter {
 public:
  void Reopen() override {}
  void Write(std::int32_t level, CLog&, std::int32_t alignment, const std::wstring& text) override {
    std::lock_guard<std::mutex> hold(m_mutex);
    lines.push_back({level, alignment, text, ::GetCurrentThreadId()});
  }
  std::vector<SLine> lines;

 private:
  std::mutex m_mutex;
};

// g_log is one per process: each test installs its own writer and leaves the
// log as it found it (no writer, threshold 1, alignment 0).
class LogCoreTest : public testing::Test {
 protected:
  void SetUp() override {
    m_writer = std::make_shared<CRecordingWriter>();
    g_log.SetWriter(m_writer);
    g_log.SetLevel(kLogMessage);
    g_log.ShiftAlignment(-1000);
  }
  void TearDown() override {
    g_log.SetWriter(nullptr);
    g_log.SetLevel(kLogMessage);
    g_log.ShiftAlignment(-1000);
  }
  std::vector<SLine>& Lines() { return m_writer->lines; }

  std::shared_ptr<CRecordingWriter> m_writer;
};

TEST_F(LogCoreTest, NothingIsWrittenBeforeAWriterIsInstalled) {
  g_log.SetWriter(nullptr);
  EXPECT_FALSE(g_log.IsInfoEnabled());
  EXPECT_FALSE(g_log.IsMessageEnabled());
  g_log.Info(L"dropped");
  {
    CLogStep step(g_log, L"step");
    EXPECT_EQ(0, g_log.GetAlignment());
    step.Ok();
  }
  EXPECT_TRUE(Lines().empty());
}

TEST_F(LogCoreTest, ThresholdDecidesWhichLevelsAreWritten) {
  const struct {
    std::int32_t threshold;
    size_t written;  // of Message, Info, Warning, Error
  } cases[] = {{1, 4}, {2, 3}, {3, 2}, {4, 1}, {5, 0}};
  for (const auto& c : cases) {
    Lines().clear();
    g_log.SetLevel(c.threshold);
    g_log.Message(L"m");
    g_log.Info(L"i");
    g_log.Warning(L"w");
    g_log.Error(L"e");
    ASSERT_EQ(c.written, Lines().size()) << "threshold " << c.threshold;
    for (size_t i = 0; i < c.written; ++i) {
      EXPECT_EQ(static_cast<std::int32_t>(4 - c.written + i + 1), Lines()[i].level);
    }
  }
}

TEST_F(LogCoreTest, TextIsSplitIntoLines) {
  const struct {
    std::wstring text;
    std::vector<std::wstring> lines;
  } cases[] = {
      {L"a\r\nb\n", {L"a", L"b"}},
      {L"", {}},
      {L"a\n\nb", {L"a", L"", L"b"}},
      {L"single", {L"single"}},
      {L"a\rb", {L"a\rb"}},
  };
  for (const auto& c : cases) {
    Lines().clear();
    g_log.Info(c.text);
    ASSERT_EQ(c.lines.size(), Lines().size());
    for (size_t i = 0; i < c.lines.size(); ++i) EXPECT_EQ(c.lines[i], Lines()[i].text);
  }
}

TEST_F(LogCoreTest, FormattedFormsFormatOnlyWhenTheLevelPasses) {
  g_log.Warning(L"Value [%1] of [%2].", L"v", L"n");
  ASSERT_EQ(1u, Lines().size());
  EXPECT_EQ(L"Value [v] of [n].", Lines()[0].text);
  EXPECT_EQ(kLogWarning, Lines()[0].level);
}

TEST_F(LogCoreTest, AlignmentNeverGoesBelowZero) {
  g_log.ShiftAlignment(1);
  g_log.ShiftAlignment(-3);
  EXPECT_EQ(0, g_log.GetAlignment());
  {
    CLogIndent indent(g_log);
    g_log.Info(L"indented");
  }
  g_log.Info(L"back");
  ASSERT_EQ(2u, Lines().size());
  EXPECT_EQ(1, Lines()[0].alignment);
  EXPECT_EQ(0, Lines()[1].alignment);
}

TEST_F(LogCoreTest, StepsReportOkOnceAndFailedWhenLeftWithoutOk) {
  g_log.ShiftAlignment(2);  // k = 2
  {
    CLogStep step(g_log, L"Initializing RPC authentication service.");
    g_log.Info(L"inside");
    step.Ok();
    step.Ok();
  }
  try {
    CLogInfoStep step(g_log, L"Loading [%1]", L"x");
    throw CExc(L"boom", E_FAIL);
  } catch (const CExc&) {
  }
  {
    CLogInfoStep step(g_log, L"custom");
    step.Ok(L"Done with [%1].", L"y");
  }
  EXPECT_EQ(2, g_log.GetAlignment());
  const std::vector<std::pair<std::int32_t, std::wstring>> expected = {
      {3, L"Initializing RPC authentication service."},
      {4, L"inside"},
      {3, L"Initializing RPC authentication service.. Ok."},
      {3, L"Loading [x]"},
      {3, L"Loading [x]. Failed."},
      {3, L"custom"},
      {3, L"Done with [y]."},
  };
  ASSERT_EQ(expected.size(), Lines().size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i].first, Lines()[i].alignment) << i;
    EXPECT_EQ(expected[i].second, Lines()[i].text) << i;
  }
  EXPECT_EQ(kLogMessage, Lines()[0].level);
  EXPECT_EQ(kLogInfo, Lines()[3].level);
}

TEST_F(LogCoreTest, StepBelowThresholdWritesNothingAndKeepsAlignment) {
  g_log.SetLevel(kLogInfo);
  {
    CLogStep step(g_log, L"quiet");
    EXPECT_EQ(0, g_log.GetAlignment());
  }
  EXPECT_TRUE(Lines().empty());
}

TEST_F(LogCoreTest, ExceptionLinesFollowOneStepDeeper) {
  CExc e(L"root", E_FAIL);
  e.AddContext(L"middle");
  e.AddContext(L"outer\r\n");
  CLogIndent indent(g_log);
  g_log.Warning(L"Cannot go on.", e);
  ASSERT_EQ(4u, Lines().size());
  EXPECT_EQ(L"Cannot go on.", Lines()[0].text);
  EXPECT_EQ(1, Lines()[0].alignment);
  const wchar_t* rest[] = {L"outer", L"middle", L"root"};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(rest[i], Lines()[i + 1].text);
    EXPECT_EQ(2, Lines()[i + 1].alignment);
    EXPECT_EQ(kLogWarning, Lines()[i + 1].level);
  }
  EXPECT_EQ(1, g_log.GetAlignment());
}

// The lines of one (text, exc) call are contiguous even when other threads
// log at the same time.
TEST_F(LogCoreTest, ExceptionBlocksAreNotInterleaved) {
  CExc e(L"three", E_FAIL);
  e.AddContext(L"two");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&e] {
      for (int i = 0; i < 200; ++i) g_log.Error(L"one", e);
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_EQ(4u * 200u * 3u, Lines().size());
  for (size_t i = 0; i < Lines().size(); i += 3) {
    EXPECT_EQ(L"one", Lines()[i].text);
    EXPECT_EQ(L"two", Lines()[i + 1].text);
    EXPECT_EQ(L"three", Lines()[i + 2].text);
    EXPECT_EQ(Lines()[i].thread, Lines()[i + 2].thread);
  }
}

TEST_F(LogCoreTest, BannerNamesTheModuleAndSkipsAMissingVersion) {
  g_log.WriteBanner(L"Version");
  // Test programs carry no version resource: only the version line is left out.
  ASSERT_EQ(6u, Lines().size());
  const std::wstring name = L"Module name: [log_core_test.exe].";
  EXPECT_EQ(L"Version", Lines()[0].text);
  EXPECT_EQ(L"{", Lines()[1].text);
  EXPECT_EQ(name, Lines()[2].text);
  EXPECT_EQ(0u, Lines()[3].text.find(L"Module path: [")) << testing_support::Narrow(Lines()[3].text);
  EXPECT_EQ(L"Build edition: [standard].", Lines()[4].text);
  EXPECT_EQ(L"}", Lines()[5].text);
  for (const SLine& line : Lines()) EXPECT_EQ(kLogInfo, line.level);
  EXPECT_EQ(0, Lines()[1].alignment);
  EXPECT_EQ(1, Lines()[2].alignment);
  EXPECT_EQ(0, Lines()[5].alignment);
  EXPECT_EQ(0, g_log.GetAlignment());
}

TEST_F(LogCoreTest, BannerShowsFourPartVersionAndStopsAtAnUnknownModule) {
  // A system library carries a version resource.
  g_log.WriteBanner(L"Kernel", ::GetModuleHandleW(L"kernel32.dll"));
  ASSERT_EQ(7u, Lines().size());
  EXPECT_EQ(L"Module name: [kernel32.dll].", Lines()[2].text);
  unsigned part[4] = {};
  wchar_t tail[4] = {};
  EXPECT_EQ(5, std::swscanf(Lines()[5].text.c_str(), L"Module version: [%u.%u.%u.%u%3ls", &part[0], &part[1],
                            &part[2], &part[3], tail))
      << testing_support::Narrow(Lines()[5].text);
  EXPECT_EQ(std::wstring(L"]."), tail);
  EXPECT_EQ(1, Lines()[5].alignment);
  EXPECT_EQ(L"}", Lines()[6].text);

  // No path for the module: the banner ends after "{", its indentation undone.
  Lines().clear();
  g_log.WriteBanner(L"Gone", reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x10000)));
  ASSERT_EQ(2u, Lines().size());
  EXPECT_EQ(L"Gone", Lines()[0].text);
  EXPECT_EQ(L"{", Lines()[1].text);
  EXPECT_EQ(0, g_log.GetAlignment());
}

std::wstring Stamp() {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  wchar_t date[80], time[80];
  ::GetDateFormatW(LOCALE_USER_DEFAULT, 0, &now, nullptr, date, 80);
  ::GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &now, nullptr, time, 80);
  return std::wstring(date) + L" " + time;
}

TEST(LogLineTest, LayoutOfALine) {
  for (bool threadColumn : {true, false}) {
    const std::wstring before = Stamp();
    std::wstring line;
    AppendLogLine(line, kLogInfo, 1, L"text", threadColumn);
    const std::wstring after = Stamp();
    const std::wstring stamp = line.compare(0, before.size(), before) == 0 ? before : after;
    ASSERT_EQ(0u, line.find(stamp)) << testing_support::Narrow(line);
    wchar_t id[16];
    swprintf(id, 16, L"%5lu", ::GetCurrentThreadId());
    const std::wstring column = threadColumn ? std::wstring(id) : std::wstring();
    EXPECT_EQ(stamp + L"  " + column + L"  INFO" + L"        " + L"text\r\n", line);
  }
  const struct {
    std::int32_t level;
    const wchar_t* tag;
  } tags[] = {{1, L"    "}, {2, L"INFO"}, {3, L"WARN"}, {4, L"ERR "}, {9, L"    "}};
  for (const auto& t : tags) {
    std::wstring line;
    AppendLogLine(line, t.level, 0, L"x", false);
    EXPECT_EQ(std::wstring(L"    ") + t.tag + L"    x\r\n", line.substr(line.size() - 15)) << t.level;
  }
}

}  // namespace
