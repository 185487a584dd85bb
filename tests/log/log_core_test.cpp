#include "log/log.h"

#include "log_capture.h"
#include "test_support.h"
#include "util/file.h"
#include "base/msg.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cwchar>
#include <thread>
#include <vector>

namespace {

using Texts = std::vector<std::wstring>;

// g_log is one per process: each test captures what it writes and leaves the
// log as it found it (its writer, threshold 1, alignment 0).
class LogCoreTest : public testing::Test {
 protected:
  LogCoreTest() { Reset(); }
  ~LogCoreTest() override { Reset(); }
  static void Reset() {
    g_log.SetLevel(kLogMessage);
    g_log.ShiftAlignment(-1000);
  }
  // The lines written since the last call as "<level> <alignment> <text>".
  Texts Take() {
    const auto lines = m_log.Lines();
    Texts taken;
    for (size_t i = m_taken; i < lines.size(); ++i) {
      taken.push_back(DecText(lines[i].level) + L" " + DecText(lines[i].alignment) + L" " + lines[i].text);
    }
    m_taken = lines.size();
    return taken;
  }

  testing_support::CLogCapture m_log;
  size_t m_taken = 0;
};

TEST_F(LogCoreTest, NothingIsWrittenWithoutAWriterOrBelowTheThreshold) {
  for (const bool withWriter : {true, false}) {
    if (!withWriter) g_log.SetWriter(nullptr);
    g_log.SetLevel(kLogInfo);
    EXPECT_EQ(withWriter, g_log.IsInfoEnabled());
    EXPECT_FALSE(g_log.IsMessageEnabled());
    g_log.Message(L"dropped");
    CLogStep step(g_log, L"quiet");  // a step below the threshold keeps the alignment too
    EXPECT_EQ(0, g_log.GetAlignment());
    step.Ok();
  }
  EXPECT_TRUE(m_log.Lines().empty());
}

TEST_F(LogCoreTest, ThresholdDecidesWhichLevelsAreWritten) {
  const Texts all = {L"1 0 m", L"2 0 i", L"3 0 w", L"4 0 e"};
  for (std::int32_t threshold = 1; threshold <= 5; ++threshold) {
    g_log.SetLevel(threshold);
    g_log.Message(L"m");
    g_log.Info(L"i");
    g_log.Warning(L"w");
    g_log.Error(L"e");
    EXPECT_EQ(Texts(all.begin() + threshold - 1, all.end()), Take()) << "threshold " << threshold;
  }
}

TEST_F(LogCoreTest, TextIsFormattedAndSplitIntoLines) {
  const struct {
    std::wstring text;
    Texts lines;
  } cases[] = {
      {L"a\r\nb\n", {L"2 0 a", L"2 0 b"}},
      {L"", {}},
      {L"a\n\nb", {L"2 0 a", L"2 0 ", L"2 0 b"}},
      {L"a\rb", {L"2 0 a\rb"}},
  };
  for (const auto& c : cases) {
    g_log.Info(c.text);
    EXPECT_EQ(c.lines, Take());
  }
  g_log.Warning(L"Value [%1] of [%2].", L"v", L"n");
  EXPECT_EQ(Texts{L"3 0 Value [v] of [n]."}, Take());
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
  EXPECT_EQ((Texts{L"1 3 Initializing RPC authentication service.", L"2 4 inside",
                   L"1 3 Initializing RPC authentication service.. Ok.", L"2 3 Loading [x]",
                   L"2 3 Loading [x]. Failed.", L"2 3 custom", L"2 3 Done with [y]."}),
            Take());
}

TEST_F(LogCoreTest, ExceptionLinesFollowOneStepDeeper) {
  CExc e(L"root", E_FAIL);
  e.AddContext(L"middle");
  e.AddContext(L"outer\r\n");
  CLogIndent indent(g_log);
  g_log.Warning(L"Cannot go on.", e);
  EXPECT_EQ((Texts{L"3 1 Cannot go on.", L"3 2 outer", L"3 2 middle", L"3 2 root"}), Take());
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
  const Texts lines = Take();
  ASSERT_EQ(4u * 200u * 3u, lines.size());
  const std::wstring block[] = {L"4 0 one", L"4 1 two", L"4 1 three"};
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(block[i % 3], lines[i]) << i;
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
