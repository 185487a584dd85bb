#include "logfile/log_folder.h"

#include "log/log.h"
#include "exc_checks.h"
#include "test_support.h"
#include "util/file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace testing_support;

constexpr std::int64_t kHour = 36000000000LL;  // 100 ns units
constexpr std::int64_t kDay = 24 * kHour;

// Sets creation and last-write time to now + offset. Wine keeps no creation
// time of its own and reports the last-write time for it; Windows keeps both.
void SetFileAge(const std::wstring& path, std::int64_t offset) {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  const std::uint64_t stamp = ((std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime) + offset;
  const FILETIME time = {static_cast<DWORD>(stamp), static_cast<DWORD>(stamp >> 32)};
  CFileHandle file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                 nullptr));
  ASSERT_TRUE(file.IsValid());
  ASSERT_TRUE(::SetFileTime(file.Get(), &time, nullptr, &time));
}

TEST(RemoveOldDailyLogs, DeletesOnlyDayStampedLogsOlderThan30Days) {
  struct SCase {
    const wchar_t* name;
    std::int64_t offset;
    bool deleted;
  } cases[] = {
      {L"svc_20200101.log", -31 * kDay, true},
      {L"svc_20200103.log", -30 * kDay, false},  // exactly 30 days
      {L"svc_20200104.log", -30 * kDay - 23 * kHour, false},
      {L"svc_20200105.log", 2 * kDay, false},  // created "in the future"
      {L"svc_backup.log", -40 * kDay, false},  // six characters after the prefix
      {L"svc_202001011.log", -40 * kDay, false},
      {L"svc_20200108.LOG", -40 * kDay, true},
      // Twelve characters after the prefix, and found by the mask through its
      // short name (SVC_~xxx.LOG), but not a log.
      {L"svc_1234567.logx", -40 * kDay, false},
      {L"other_20200101.log", -40 * kDay, false},
  };
  CScratchDir dir;
  for (const SCase& c : cases) {
    WriteFileBytes(dir / c.name, "x");
    SetFileAge(dir / c.name, c.offset);
  }
  // Old, but held open without read sharing: it cannot be dated, so it stays.
  const std::wstring held = dir / L"svc_20200107.log";
  WriteFileBytes(held, "x");
  SetFileAge(held, -40 * kDay);
  CFileHandle holder(::CreateFileW(held.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder.IsValid());

  RemoveOldDailyLogs(dir.Path(), L"svc");

  for (const SCase& c : cases) EXPECT_EQ(!c.deleted, Exists(dir / c.name)) << Narrow(c.name);
  EXPECT_TRUE(Exists(held));
}

TEST(LogNames, NamesFollowThePluginAndTheRun) {
  const std::pair<std::wstring, std::wstring> cases[] = {  // {result, expected}
      {GetPluginLogName(L"plugins/vss.plugin.dll"), L"vss.plugin"},
      {GetPluginLogName(L"C:\\a/b\\c.dll"), L"c"},
      {GetPluginLogName(L"C:\\a\\.hidden"), L".hidden"},
      {GetPluginLogName(L"C:plug.dll"), L"plug"},
      {GetDefaultLogName(true), L"KorloUninstall"},
      {GetDefaultLogName(false), L"log_writer_test"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, c.first);
  const std::wstring folder = GetLogFolder();
  EXPECT_TRUE(EndsWith(folder, L"\\Korlo\\Backup")) << Narrow(folder);
}

TEST(InitLogging, WritesTheOpeningLines) {
  const std::wstring name = L"korlo-test-" + NewGuidText();
  const std::wstring path = JoinPath({GetLogFolder(), name + L".log"});
  g_log.ShiftAlignment(-1000);
  InitLogging(false, name);
  EXPECT_EQ(path, g_log.GetLogPath());
  EXPECT_TRUE(g_log.IsMessageEnabled());
  g_log.SetWriter(nullptr);

  const std::vector<std::wstring> texts = LogLineTexts(Utf16(ReadFileBytes(path)));
  ::DeleteFileW(path.c_str());
  ASSERT_GE(texts.size(), 8u);
  EXPECT_EQ((std::vector<std::wstring>{std::wstring(96, L'='), L"Version", L"{",
                                       L"    Module name: [log_writer_test.exe].",
                                       L"    Module path: [" + GetModulePath() + L"].",
                                       L"    Build edition: [standard]."}),
            std::vector<std::wstring>(texts.begin(), texts.begin() + 6));
  EXPECT_EQ(L"}", texts[texts.size() - 2]);
  const std::wstring user = texts.back();
  EXPECT_EQ(0u, user.rfind(L"User: ", 0)) << Narrow(user);
  EXPECT_GT(user.size(), 6u);
}

}  // namespace
