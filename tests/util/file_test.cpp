#include "util/file.h"
#include "util/security.h"

#include "log/log.h"
#include "base/exc.h"
#include "base/msg.h"

#include "exc_checks.h"
#include "log_capture.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>
#include <cwchar>
#include <functional>
#include <thread>

using namespace testing_support;

namespace {

std::int32_t HrOf(DWORD error) { return CExc::ToHResult(static_cast<std::int32_t>(error)); }

void MakeFile(const std::wstring& path, DWORD attributes = FILE_ATTRIBUTE_NORMAL, const std::string& bytes = "x") {
  WriteFileBytes(path, bytes);
  ASSERT_TRUE(::SetFileAttributesW(path.c_str(), attributes)) << ::GetLastError();
}

// Opens (creating) a file the way another program holding it would. Share
// modes are checked per handle, so a handle of this process stands in for
// the other program.
CFileHandle Hold(const std::wstring& path, DWORD share) {
  return CFileHandle(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The two outputs of SplitPath or SplitFileName as "first|second".
std::wstring Split(void (*split)(const std::wstring&, std::wstring&, std::wstring&), const std::wstring& text) {
  std::wstring first = L"junk", second = L"junk";
  split(text, first, second);
  return first + L"|" + second;
}

class FileTest : public testing::Test {
 protected:
  std::wstring operator/(const std::wstring& name) const { return m_scratch / name; }
  CScratchDir m_scratch;
};

// The administrators-only descriptor as it is handed to the creating calls,
// read in memory (Wine keeps no access lists on disk): protected, so nothing
// of the parent's list is inherited, full control for SYSTEM and
// Administrators passed on to files and folders below, and nothing else.
TEST(SecurityTest, ProtectedDescriptorGrantsSystemAndAdministratorsOnly) {
  util::protected_security_t security;
  const SECURITY_ATTRIBUTES& attributes = *security.Attributes();
  EXPECT_EQ(sizeof(SECURITY_ATTRIBUTES), attributes.nLength);
  EXPECT_FALSE(attributes.bInheritHandle);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(::GetSecurityDescriptorControl(attributes.lpSecurityDescriptor, &control, &revision));
  EXPECT_EQ(SE_DACL_PRESENT | SE_DACL_PROTECTED, control & (SE_DACL_PRESENT | SE_DACL_PROTECTED | SE_DACL_DEFAULTED));
  LPWSTR text = nullptr;
  ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(
      attributes.lpSecurityDescriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr));
  const CLocalMem owned(text);
  EXPECT_EQ(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", std::wstring(text));
}

TEST(PathTest, PathTextHelpers) {
  const std::pair<std::wstring, std::wstring> cases[] = {  // {result, expected}
      {AddLongPathPrefix(L"C:\\a"), L"\\\\?\\C:\\a"},
      {AddLongPathPrefix(L"\\\\srv\\share\\a"), L"\\\\?\\UNC\\srv\\share\\a"},
      {AddLongPathPrefix(L"\\\\?\\c:\\A"), L"\\\\?\\c:\\A"},
      {Split(SplitPath, L"C:\\a\\b.txt"), L"C:\\a|b.txt"},
      {Split(SplitPath, L"b.txt"), L"|b.txt"},
      {Split(SplitPath, L"C:\\a\\"), L"C:\\a|"},
      {Split(SplitPath, L"C:/a/b"), L"C:/a|b"},
      {Split(SplitPath, L"C:\\a/b\\c/d"), L"C:\\a/b|c/d"},  // a backslash wins over a later slash
      {Split(SplitPath, L"/usr/x\\y"), L"/usr|x\\y"},       // a leading slash: slashes only
      {Split(SplitFileName, L"name.tar.gz"), L"name.tar|gz"},
      {Split(SplitFileName, L"name"), L"name|"},
      {Split(SplitFileName, L".hidden"), L"|hidden"},
      {JoinPath({L"C:\\a\\\\", L"b"}), L"C:\\a\\\\b"},  // only one separator is dropped
      {JoinPath({L"a", L"", L"b"}), L"a\\\\b"},         // an empty part still gets its separator
      {JoinPath({L"a/", L"b\\", L"c"}, true), L"a/b/c"},
      {CombinePath(L"/var/log/", L"a"), L"/var/log/a"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, c.first);
}

TEST(PathTest, ModulePathAndVersionComeFromTheLoadedModule) {
  wchar_t self[MAX_PATH * 4] = {};
  ASSERT_NE(0u, ::GetModuleFileNameW(nullptr, self, MAX_PATH * 4));
  EXPECT_EQ(self, GetModuleFolder() + L"\\" + GetModuleName());
  EXPECT_EQ(0, _wcsicmp(L"kernel32.dll", GetModuleName(::GetModuleHandleW(L"kernel32.dll")).c_str()));

  wchar_t system[MAX_PATH] = {};
  ASSERT_NE(0u, ::GetSystemDirectoryW(system, MAX_PATH));
  const VS_FIXEDFILEINFO version = GetFileVersion(std::wstring(system) + L"\\kernel32.dll");
  EXPECT_EQ(0xFEEF04BDu, version.dwSignature);
  EXPECT_NE(0u, version.dwFileVersionMS);
}

// Not-found is an answer; any other error is logged as a warning (one step
// deeper, the system's code closing it) and answered with "no".
TEST_F(FileTest, ExistenceChecksLogUnexpectedErrorsAsWarnings) {
  const std::wstring invalid = *this / L"a*b\\c";  // a wildcard: an invalid name, not a missing one
  std::vector<std::wstring> files{L"junk"}, folders{L"junk"};
  const struct {
    std::function<void()> call;
    bool warned;
  } cases[] = {
      {[&] {
         EXPECT_FALSE(FileExists(*this / L"missing\\deeper.txt"));
         SearchFiles(*this / L"missing\\*", files, folders);
         EXPECT_TRUE(files.empty() && folders.empty());
       },
       false},
      {[&] { EXPECT_FALSE(FileExists(invalid)); }, true},
      {[&] { SearchFiles(invalid + L"\\*", files, folders); }, true},
      {[&] { EXPECT_THROW(FileMakeFolder(invalid), CWin32Exc); }, true},
  };
  for (const auto& c : cases) {
    CLogCapture log;
    c.call();
    const auto lines = log.Lines();
    EXPECT_EQ(c.warned, !lines.empty()) << &c - cases;
    for (const auto& line : lines) {
      EXPECT_EQ(kLogWarning, line.level) << Narrow(line.text);
      EXPECT_EQ(g_log.GetAlignment() + 1, line.alignment) << Narrow(line.text);
    }
    if (c.warned) {
      EXPECT_TRUE(EndsWith(lines.back().text, L" Code: 123")) << Narrow(lines.back().text);
    }
  }
}

TEST_F(FileTest, FolderTreeIsMadeWithItsParentsAndRemovedWithProtectedEntries) {
  const std::wstring tree = *this / L"tree";
  FileMakeFolder(tree + L"\\one\\two\\");
  FileMakeFolder(tree + L"\\locked");
  MakeFile(tree + L"\\one\\two\\c.txt");
  FileMakeFolder(tree + L"\\one\\two");  // an existing folder is left as it is
  EXPECT_TRUE(Exists(tree + L"\\one\\two\\c.txt"));
  MakeFile(tree + L"\\a.txt", FILE_ATTRIBUTE_READONLY);
  MakeFile(tree + L"\\one\\b.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  MakeFile(tree + L"\\locked\\d.txt", FILE_ATTRIBUTE_READONLY);
  ASSERT_TRUE(::SetFileAttributesW((tree + L"\\locked").c_str(), FILE_ATTRIBUTE_READONLY));
  DeleteFileIfExists(tree + L"\\a.txt");
  EXPECT_FALSE(Exists(tree + L"\\a.txt"));
  DeleteFileIfExists(tree + L"\\missing\\deeper.txt");  // nothing to delete is no failure

  RemoveFolder(tree);
  EXPECT_FALSE(Exists(tree));
  EXPECT_TRUE(Exists(m_scratch.Path()));

  const auto e = CatchExc([] { FileMakeFolder(L"korlo-no-separator\\"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(static_cast<std::int32_t>(E_INVALIDARG), e->GetCode());
  EXPECT_EQ((std::deque<std::wstring>{L"Cannot create folder [korlo-no-separator\\].",
                                      L"Invalid folder path: [korlo-no-separator]."}),
            e->GetMessages());
}

// A directory link at `link`: a junction on Windows; under Wine, which cannot
// make one, a Unix symbolic link, which it lists as a folder carrying the
// reparse-point attribute (and cannot delete without following it).
void MakeFolderLink(const std::wstring& link, const std::wstring& target) {
  const std::wstring unixTarget = UnixName(target);
  if (unixTarget.empty()) RunProcess(L"cmd.exe /c mklink /J \"" + link + L"\" \"" + target + L"\"");
  else ASSERT_TRUE(RunOnUnixPath(L"ln -s " + unixTarget, link, true));
}

TEST_F(FileTest, RemoveFolderDeletesLinksWithoutEnteringThem) {
  const std::wstring target = *this / L"target", tree = *this / L"tree";
  FileMakeFolder(target);
  MakeFile(target + L"\\keep.txt");
  FileMakeFolder(tree);
  MakeFile(tree + L"\\a.txt");
  MakeFolderLink(tree + L"\\link", target);
  for (const std::wstring& removed : {tree + L"\\link", tree}) {
    CatchExc([&] { RemoveFolder(removed); });  // Wine fails on the link; Windows deletes it
    EXPECT_TRUE(Exists(target + L"\\keep.txt"));
  }
  EXPECT_FALSE(Exists(tree + L"\\a.txt"));
}

TEST_F(FileTest, RemoveFolderWithRetriesWaitsForTheHolderToLetGo) {
  const std::wstring tree = *this / L"tree", held = tree + L"\\sub\\held.bin";
  FileMakeFolder(tree + L"\\sub");
  MakeFile(tree + L"\\plain.txt");
  // Shared for deleting: the name can be deleted but stays until the holder
  // closes it, so the folder is "not empty" meanwhile.
  CFileHandle holder = Hold(held, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  ASSERT_TRUE(holder.IsValid());
  {
    // Held without delete sharing: a sharing violation, not worth waiting for.
    const CFileHandle blocker = Hold(held, FILE_SHARE_READ | FILE_SHARE_WRITE);
    const auto e = CatchExc<CWin32Exc>([&] { RemoveFolderWithRetries(tree, 1, 5); });
    ASSERT_TRUE(e);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), e->GetWin32Error());
  }
  RemoveFolderWithRetries(tree, 10, 3);  // gives up quietly
  EXPECT_TRUE(Exists(tree + L"\\sub"));

  std::thread letGo([&] {
    ::Sleep(300);
    holder.Reset();
  });
  RemoveFolderWithRetries(tree, 50, 1200);
  letGo.join();
  EXPECT_FALSE(Exists(tree));
}

TEST_F(FileTest, CopyOverwritesAndSearchSplitsFilesFromFolders) {
  const std::wstring source = *this / L"f2.txt";
  const std::wstring target = *this / L"dA\\deeper\\g3.txt";
  MakeFile(source, FILE_ATTRIBUTE_NORMAL, "first");
  CopyFileTo(source, target, true);
  MakeFile(source, FILE_ATTRIBUTE_NORMAL, "second");
  CopyFileTo(source, target, false);
  EXPECT_EQ("second", ReadFileBytes(target));
  MoveFileTo(target, *this / L"g3.txt");
  MakeFile(*this / L"f1.log");
  FileMakeFolder(*this / L"dB");

  std::vector<std::wstring> files{L"junk"}, folders{L"junk"};
  SearchFiles(*this / L"*", files, folders);
  std::sort(files.begin(), files.end());
  std::sort(folders.begin(), folders.end());
  EXPECT_EQ((std::vector<std::wstring>{L"f1.log", L"f2.txt", L"g3.txt"}), files);  // "." and ".." left out
  EXPECT_EQ((std::vector<std::wstring>{L"dA", L"dB"}), folders);
}

TEST_F(FileTest, BinFileReadsWritesSeeksAndResizes) {
  const std::wstring path = *this / L"data.bin";
  auto file = CBinFile::Create(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
  file->Write("hello world", 11);
  char buffer[16] = {};
  file->SeekTo(6);
  ASSERT_EQ(5u, file->Read(buffer, sizeof(buffer)));
  EXPECT_EQ("world", std::string(buffer, 5));
  EXPECT_EQ(0u, file->Read(buffer, sizeof(buffer)));

  file->SetSize(5);
  file->SeekToEnd();
  file->Write("!!", 2);
  file->SetSize(std::uint64_t{5} << 30);  // beyond 32 bits
  EXPECT_EQ(std::uint64_t{5} << 30, file->GetSize());
  file->SetSize(7);
  file.reset();
  EXPECT_EQ("hello!!", ReadFileBytes(path));
  EXPECT_EQ(7u, CBinFile::Create(path, GENERIC_READ, 0, OPEN_EXISTING)->GetSize()) << "opened, not replaced";
}

// Every failure names the operation and the path as the caller gave it, and
// keeps the system's code and cause line.
TEST_F(FileTest, FailuresNameTheOperationAndKeepTheCode) {
  const std::wstring plain = *this / L"plain.txt", source = *this / L"a.txt", target = *this / L"b.txt";
  const std::wstring missing = *this / L"missing.txt", under = plain + L"\\sub";
  const std::wstring tree = *this / L"tree", held = tree + L"\\sub\\held.bin";
  FileMakeFolder(tree + L"\\sub");
  const CFileHandle holder = Hold(held, FILE_SHARE_READ);
  MakeFile(plain, FILE_ATTRIBUTE_NORMAL, "0123456789");
  MakeFile(source, FILE_ATTRIBUTE_NORMAL, "source");
  MakeFile(target, FILE_ATTRIBUTE_NORMAL, "target");
  auto reader = CBinFile::Create(plain, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  auto writer = CBinFile::Create(plain, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  const std::uint64_t tooFar = std::uint64_t{1} << 63;

  // One row per way a failure is built: a context line over the system's
  // own (FileMakeFolder), nested contexts (RemoveFolder), a context line
  // alone (MoveFileTo, CBinFile), a seek failure inside a resize.
  const struct {
    std::function<void()> call;
    DWORD error;                      // 0: any
    std::vector<std::wstring> lines;  // all but the cause line, which closes the list
  } cases[] = {
      {[&] { FileMakeFolder(under); }, 0,
       {L"Cannot create folder [" + under + L"].", L"CreateDirectoryW(" + AddLongPathPrefix(under) + L") failed."}},
      {[&] { RemoveFolder(tree); }, ERROR_SHARING_VIOLATION,
       {L"Cannot remove folder [" + tree + L"].", L"Cannot remove folder [" + tree + L"\\sub].",
        L"Cannot delete file [" + held + L"]."}},
      {[&] { MoveFileTo(source, target); }, ERROR_ALREADY_EXISTS,
       {L"Cannot move file. Source path: [" + source + L"]. Target path: [" + target + L"]."}},
      {[&] { CBinFile::Create(missing, GENERIC_READ, 0, OPEN_EXISTING); }, ERROR_FILE_NOT_FOUND,
       {L"Failed to create new binary file [" + missing + L"]."}},
      {[&] { reader->Write("abc", 3); }, 0, {L"Failed to write [3] bytes to the file [" + plain + L"]."}},
      {[&] { writer->SetSize(tooFar); }, 0,
       {L"Unable to seek to the position 9223372036854775808 of the file [" + plain + L"]"}},
  };
  for (const auto& c : cases) {
    const auto e = CatchExc<CWin32Exc>(c.call);
    ASSERT_TRUE(e) << Narrow(c.lines[0]);
    if (c.error != 0) {
      EXPECT_EQ(c.error, e->GetWin32Error()) << Narrow(c.lines[0]);
    }
    EXPECT_NE(0u, e->GetWin32Error()) << Narrow(c.lines[0]);
    EXPECT_EQ(HrOf(e->GetWin32Error()), e->GetCode()) << Narrow(c.lines[0]);
    std::vector<std::wstring> lines(e->GetMessages().begin(), e->GetMessages().end());
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(IsCauseLine(lines.back(), L"Win32", DecText(static_cast<std::int32_t>(e->GetWin32Error()))))
        << Narrow(lines.back());
    lines.pop_back();
    EXPECT_EQ(c.lines, lines);
  }
  EXPECT_EQ("0123456789", ReadFileBytes(plain));
  EXPECT_EQ("target", ReadFileBytes(target)) << "a move replaced its target";
  EXPECT_TRUE(Exists(held));
}

}  // namespace
