#include "logfile/log_folder.h"

#include "log/log.h"
#include "exc_checks.h"
#include "folder_access.h"
#include "test_support.h"
#include "util/file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <functional>
#include <map>
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

// --- The log folder: links, owners and access lists ------------------------------

constexpr wchar_t kFolderLogName[] = L"folder-test";

// Run as a child: the all-users application-data folder is the folder the
// parent names (through a redirected HKLM, which the shell reads it from), so
// nothing of the prefix's own log folder is touched. Logs one line and
// leaves the folder it logged into in "in-use.txt" beside Korlo.
TEST(LogFolderChild, Run) {
  if (ChildRole().empty()) GTEST_SKIP() << "runs only as a child";
  CMachineKeyRedirect redirect;
  CRegKey key;
  const wchar_t* const folders = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
  ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, folders, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             key.Receive(), nullptr));
  const std::wstring appData = ChildRole();
  ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.Get(), L"Common AppData", 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(appData.c_str()),
                                            static_cast<DWORD>((appData.size() + 1) * sizeof(wchar_t))));
  InitLogging(false, kFolderLogName);
  g_log.Info(L"child line");
  g_log.SetWriter(nullptr);
  WriteFileBytes(appData + L"\\in-use.txt", Narrow(GetLogFolder()));
  ::ExitProcess(0);
}

// Runs the Unix command on the path (Wine does not wait for it) and waits
// up to 5 s until the path's descriptor shows it.
bool RunUnixOn(const std::wstring& command, const std::wstring& path) {
  const std::string before = DescriptorBytes(path);
  if (!RunOnUnixPath(command, path, true)) return false;
  for (int i = 0; i < 500 && DescriptorBytes(path) == before; ++i) ::Sleep(10);
  return DescriptorBytes(path) != before;
}

// Every file under dir, by its path below dir, with its size and a hash of its bytes.
void Snapshot(const std::wstring& dir, const std::wstring& below, std::map<std::wstring, std::string>& files) {
  for (const std::wstring& name : FilesIn(dir, L"*")) {
    if (name == L"." || name == L"..") continue;
    const std::wstring path = dir + L"\\" + name;
    if (::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
      files[below + name + L"\\"] = "";
      Snapshot(path, below + name + L"\\", files);
    } else {
      const std::string bytes = ReadFileBytes(path);
      files[below + name] =
          std::to_string(bytes.size()) + " bytes, hash " + std::to_string(std::hash<std::string>()(bytes));
    }
  }
}

// Korlo or Backup replaced by a directory link to a user's folder, owned by
// another account, or open to everyone: each refused by its own rule alone
// (the link is ours, the other owner's folder grants nobody anything, the
// open one is ours). The helper never writes into, renames, moves or empties
// it; it logs into a folder it makes beside it, says so in a warning, and
// finds that folder again at the next start. A safe folder is left exactly
// as it is.
TEST(LogFolder, UnsafeFoldersAreLeftAloneAndReplacedBesideThem) {
  const struct {
    const char* what;
    const wchar_t* link;     // made a directory link to the user's folder
    const wchar_t* command;  // otherwise, Unix commands applied to Korlo\Backup, "|"-separated
    const wchar_t* logFolder;
    const wchar_t* reason;  // null: no warning
  } cases[] = {
      {"Backup a link", L"Korlo\\Backup", nullptr, L"Korlo\\Backup.unsafe-link", L"it is a reparse point"},
      {"Korlo a link", L"Korlo", nullptr, L"Korlo.unsafe-link\\Backup", L"it is a reparse point"},
      {"Backup owned by another account", nullptr, L"chown nobody:nogroup|chmod 0", L"Korlo\\Backup.unsafe-owner",
       L"it is owned by S-1-5-7"},
      {"Backup open to everyone", nullptr, L"chmod 777", L"Korlo\\Backup.unsafe-access", L"S-1-1-0 may change it"},
      {"safe", nullptr, nullptr, L"Korlo\\Backup", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CScratchDir dir;
    const std::wstring appData = dir / L"ProgramData", user = dir / L"user";
    ASSERT_TRUE(::CreateDirectoryW(appData.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(user.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((user + L"\\Backup").c_str(), nullptr));
    WriteFileBytes(user + L"\\folder-test.log", std::string(4096, 'u'));
    WriteFileBytes(user + L"\\Backup\\folder-test.log", "user's");
    const std::wstring backup = appData + L"\\Korlo\\Backup";
    std::wstring link;
    const bool korloLink = c.link != nullptr && std::wstring(c.link) == L"Korlo";
    if (!korloLink) {
      ASSERT_TRUE(MakeAdminsOnlyFolder(appData + L"\\Korlo"));
    }
    if (c.link != nullptr) {
      link = appData + L"\\" + c.link;
      ASSERT_TRUE(RunOnUnixPath(L"ln -s " + UnixName(user), link, true));
    } else {
      ASSERT_TRUE(MakeAdminsOnlyFolder(backup));
    }
    std::map<std::wstring, std::string> before, after;
    Snapshot(user, L"", before);
    for (const wchar_t* command = c.command; command != nullptr && *command != L'\0';) {
      const wchar_t* end = std::wcschr(command, L'|');
      const std::wstring one = end ? std::wstring(command, end) : std::wstring(command);
      ASSERT_TRUE(RunUnixOn(one, backup)) << Narrow(one);
      command = end ? end + 1 : L"";
    }
    const std::string kept = DescriptorBytes(backup), keptKorlo = DescriptorBytes(appData + L"\\Korlo");

    for (int start = 1; start <= 2; ++start) {
      const SProcessResult run = RunSelfAsChild("LogFolderChild.Run", appData);
      EXPECT_EQ(0u, run.exitCode) << run.output;
    }
    Snapshot(user, L"", after);
    const std::wstring folder = appData + L"\\" + c.logFolder;
    if (!link.empty()) {
      EXPECT_TRUE(RunOnUnixPath(L"rm", link, false));  // before any assertion can end the case
    }
    EXPECT_EQ(before, after) << "the user's folder changed";
    EXPECT_EQ(Narrow(folder), ReadFileBytes(appData + L"\\in-use.txt"));
    const std::vector<std::wstring> texts = LogLineTexts(Utf16(ReadFileBytes(folder + L"\\folder-test.log")));
    EXPECT_EQ(2, std::count(texts.begin(), texts.end(), L"child line")) << "the same folder at each start";
    EXPECT_FALSE(OpenToUsers(folder));
    EXPECT_FALSE(OpenToUsers(folder + L"\\folder-test.log"));
    const std::wstring replaced = korloLink ? appData + L"\\Korlo" : backup;
    const std::wstring warning = L"The folder [" + replaced + L"] is not used for the log: " +
                                 (c.reason ? c.reason : L"") + L". The log is kept in [" +
                                 folder.substr(0, folder.size() - (replaced == backup ? 0 : 7)) +
                                 L"]; an administrator should remove or correct [" + replaced + L"].";
    EXPECT_EQ(c.reason ? 2 : 0, std::count(texts.begin(), texts.end(), warning)) << JoinLines(texts);
    if (c.link == nullptr) {
      EXPECT_EQ(kept, DescriptorBytes(backup)) << "the folder's access list was rewritten";
    }
    if (!korloLink) {
      EXPECT_EQ(keptKorlo, DescriptorBytes(appData + L"\\Korlo"));
    }
  }
}

}  // namespace
