#include "util/file.h"

#include "log/log.h"
#include "util/exc.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <functional>
#include <optional>
#include <thread>

using namespace testing_support;

namespace {

constexpr DWORD kChildTimeoutMs = 60000;
const char kChildTest[] = "FileChildTest.Run";

std::int32_t HrOf(DWORD error) { return CExc::ToHResult(static_cast<std::int32_t>(error)); }

// Runs f and returns the exception of type E it throws; a test failure when
// it throws nothing.
template <class E = CExc, class F>
std::optional<E> CatchExc(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e;
  }
  ADD_FAILURE() << "no exception was thrown";
  return std::nullopt;
}

std::vector<std::wstring> Lines(const CExc& e) { return {e.GetMessages().begin(), e.GetMessages().end()}; }

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(AddLongPathPrefix(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsPresent(const std::wstring& path) {
  return ::GetFileAttributesW(AddLongPathPrefix(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void MakeFile(const std::wstring& path, DWORD attributes = FILE_ATTRIBUTE_NORMAL, const std::string& bytes = "x") {
  WriteFileBytes(path, bytes);
  ASSERT_TRUE(::SetFileAttributesW(path.c_str(), attributes)) << ::GetLastError();
}

// Lines written through g_log while it exists.
class CLogCapture : public CLogWriter {
 public:
  struct SLine {
    std::int32_t level;
    std::int32_t alignment;
    std::wstring text;
  };

  static std::shared_ptr<CLogCapture> Install() {
    auto capture = std::make_shared<CLogCapture>();
    capture->m_previous = g_log.GetWriter();
    g_log.SetWriter(capture);
    return capture;
  }
  void Uninstall() { g_log.SetWriter(m_previous); }

  void Reopen() override {}
  void Write(std::int32_t level, CLog&, std::int32_t alignment, const std::wstring& text) override {
    lines.push_back({level, alignment, text});
  }

  std::vector<SLine> lines;

 private:
  std::shared_ptr<CLogWriter> m_previous;
};

// Another process (this test program, re-launched) that opens a file with
// the given share mode and keeps it open until released.
class CHeldFile {
 public:
  CHeldFile(const std::wstring& path, DWORD share)
      : m_guid(NewGuidText()),
        m_ready(::CreateEventW(nullptr, TRUE, FALSE, (L"korlo-file-test-ready-" + m_guid).c_str())),
        m_release(::CreateEventW(nullptr, TRUE, FALSE, (L"korlo-file-test-release-" + m_guid).c_str())),
        m_done(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    const std::wstring role = L"hold|" + std::to_wstring(share) + L"|" + m_guid + L"|" + path;
    m_thread = std::thread([this, role] {
      m_result = RunSelfAsChild(kChildTest, role, kChildTimeoutMs);
      ::SetEvent(m_done.Get());
    });
    const HANDLE events[] = {m_ready.Get(), m_done.Get()};
    m_holding = ::WaitForMultipleObjects(2, events, FALSE, kChildTimeoutMs) == WAIT_OBJECT_0;
  }
  ~CHeldFile() { Release(); }
  CHeldFile(const CHeldFile&) = delete;
  CHeldFile& operator=(const CHeldFile&) = delete;

  bool Holding() const { return m_holding; }
  // Lets the child close the file; does not wait for it.
  void LetGo() { ::SetEvent(m_release.Get()); }
  // Lets go and waits until the child has ended.
  void Release() {
    LetGo();
    if (m_thread.joinable()) m_thread.join();
  }
  // Waits for the child and gives its exit code and output.
  const SProcessResult& Result() {
    Release();
    return m_result;
  }

 private:
  std::wstring m_guid;
  CKernelHandle m_ready, m_release, m_done;
  bool m_holding = false;
  SProcessResult m_result;
  std::thread m_thread;
};

class FileTest : public testing::Test {
 protected:
  std::wstring operator/(const std::wstring& name) const { return m_scratch / name; }
  CScratchDir m_scratch;
};

// --- Paths -------------------------------------------------------------------

TEST(PathTest, AddLongPathPrefix) {
  const struct {
    const wchar_t* path;
    const wchar_t* expected;
  } cases[] = {
      {L"C:\\a", L"\\\\?\\C:\\a"},
      {L"\\\\srv\\share\\a", L"\\\\?\\UNC\\srv\\share\\a"},
      {L"\\\\?\\C:\\a", L"\\\\?\\C:\\a"},
      {L"\\\\?\\c:\\A", L"\\\\?\\c:\\A"},
      {L"\\\\?\\UNC\\srv\\share", L"\\\\?\\UNC\\srv\\share"},
      {L"rel\\a", L"\\\\?\\rel\\a"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, AddLongPathPrefix(c.path)) << c.path;
}

TEST(PathTest, SplitPath) {
  const struct {
    const wchar_t* path;
    const wchar_t* folder;
    const wchar_t* file;
  } cases[] = {
      {L"C:\\a\\b.txt", L"C:\\a", L"b.txt"},
      {L"b.txt", L"", L"b.txt"},
      {L"", L"", L""},
      {L"C:\\a\\", L"C:\\a", L""},
      {L"C:/a/b", L"C:/a", L"b"},
      {L"C:\\a/b\\c/d", L"C:\\a/b", L"c/d"},  // a backslash wins over a later slash
      {L"/usr/x\\y", L"/usr", L"x\\y"},       // a leading slash: slashes only
      {L"\\\\srv\\share", L"\\\\srv", L"share"},
  };
  for (const auto& c : cases) {
    std::wstring folder = L"junk", file = L"junk";
    SplitPath(c.path, folder, file);
    EXPECT_EQ(c.folder, folder) << c.path;
    EXPECT_EQ(c.file, file) << c.path;
  }
}

TEST(PathTest, SplitFileName) {
  const struct {
    const wchar_t* file;
    const wchar_t* base;
    const wchar_t* extension;
  } cases[] = {
      {L"name.tar.gz", L"name.tar", L"gz"},
      {L"name", L"name", L""},
      {L".hidden", L"", L"hidden"},
      {L"name.", L"name", L""},
  };
  for (const auto& c : cases) {
    std::wstring base = L"junk", extension = L"junk";
    SplitFileName(c.file, base, extension);
    EXPECT_EQ(c.base, base) << c.file;
    EXPECT_EQ(c.extension, extension) << c.file;
  }
}

TEST(PathTest, JoinPath) {
  const struct {
    std::vector<std::wstring> parts;
    bool slashStyle;
    const wchar_t* expected;
  } cases[] = {
      {{L"C:\\logs\\", L"a.log"}, false, L"C:\\logs\\a.log"},
      {{L"C:\\logs", L"a.log"}, false, L"C:\\logs\\a.log"},
      {{L"C:\\a\\\\", L"b"}, false, L"C:\\a\\\\b"},  // only one separator is dropped
      {{L"a", L"", L"b"}, false, L"a\\\\b"},         // an empty part still gets its separator
      {{L"x", L"y\\"}, false, L"x\\y"},
      {{L"p", L""}, false, L"p\\"},
      {{L"", L"*"}, false, L"\\*"},
      {{L"a/", L"b/", L"c"}, true, L"a/b/c"},
      {{L"a\\", L"b"}, true, L"a/b"},
      {{}, false, L""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, JoinPath(c.parts, c.slashStyle)) << c.expected;
}

TEST(PathTest, CombinePath) {
  const struct {
    const wchar_t* a;
    const wchar_t* b;
    const wchar_t* expected;
  } cases[] = {
      {L"C:\\logs\\", L"a.log", L"C:\\logs\\a.log"},
      {L"C:\\x", L"", L"C:\\x\\"},
      {L"/var/log", L"a.log", L"/var/log/a.log"},
      {L"/var/log/", L"a", L"/var/log/a"},
      {L"rel", L"a", L"rel\\a"},
      {L"\\\\?\\C:\\d", L"*", L"\\\\?\\C:\\d\\*"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, CombinePath(c.a, c.b)) << c.a << L" + " << c.b;
}

TEST(PathTest, ModulePathNamesTheRunningProgram) {
  wchar_t self[MAX_PATH * 4] = {};
  ASSERT_NE(0u, ::GetModuleFileNameW(nullptr, self, MAX_PATH * 4));
  EXPECT_EQ(self, GetModulePath());
  EXPECT_EQ(self, GetModuleFolder() + L"\\" + GetModuleName());

  const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  ASSERT_NE(nullptr, kernel);
  EXPECT_EQ(0, _wcsicmp(L"kernel32.dll", GetModuleName(kernel).c_str())) << GetModuleName(kernel);
}

// --- Folders -----------------------------------------------------------------

TEST_F(FileTest, FileMakeFolderCreatesMissingParents) {
  const std::wstring deepest = *this / L"x\\y\\z";
  FileMakeFolder(deepest + L"\\");
  EXPECT_TRUE(IsFolder(*this / L"x"));
  EXPECT_TRUE(IsFolder(*this / L"x\\y"));
  EXPECT_TRUE(IsFolder(deepest));

  // An existing folder is left as it is.
  MakeFile(deepest + L"\\keep.txt");
  FileMakeFolder(deepest);
  EXPECT_TRUE(IsPresent(deepest + L"\\keep.txt"));
}

TEST_F(FileTest, FileMakeFolderRejectsNameWithoutSeparator) {
  const struct {
    const wchar_t* path;
    const wchar_t* folder;
  } cases[] = {
      {L"korlo-no-separator", L"korlo-no-separator"},
      {L"korlo-no-separator\\", L"korlo-no-separator"},
  };
  for (const auto& c : cases) {
    const auto e = CatchExc([&] { FileMakeFolder(c.path); });
    ASSERT_TRUE(e) << c.path;
    EXPECT_EQ(static_cast<std::int32_t>(0x80070057), e->GetCode());
    EXPECT_EQ((std::vector<std::wstring>{L"Cannot create folder [" + std::wstring(c.path) + L"].",
                                         L"Invalid folder path: [" + std::wstring(c.folder) + L"]."}),
              Lines(*e));
  }
}

TEST_F(FileTest, FileMakeFolderUnderAFileFails) {
  MakeFile(*this / L"plain.txt");
  const std::wstring target = *this / L"plain.txt\\sub";
  const auto e = CatchExc<CWin32Exc>([&] { FileMakeFolder(target); });
  ASSERT_TRUE(e);
  EXPECT_EQ(L"Cannot create folder [" + target + L"].", Lines(*e).front());
  EXPECT_EQ(L"CreateDirectoryW(" + AddLongPathPrefix(target) + L") failed.", Lines(*e).at(1));
  EXPECT_NE(0u, e->GetWin32Error());
  EXPECT_FALSE(IsFolder(target));
}

TEST_F(FileTest, ExistenceChecksLogUnexpectedErrorsAsWarnings) {
  // A wildcard in a folder name is an invalid name, not a missing one.
  const std::wstring invalid = *this / L"a*b\\c";
  auto capture = CLogCapture::Install();
  const std::int32_t base = g_log.GetAlignment();
  std::vector<std::wstring> files{L"junk"}, folders{L"junk"};

  EXPECT_FALSE(FileExists(*this / L"missing.txt"));
  EXPECT_FALSE(FileExists(*this / L"missing\\deeper.txt"));
  SearchFiles(*this / L"missing\\*", files, folders);
  EXPECT_TRUE(files.empty());
  EXPECT_TRUE(folders.empty());
  EXPECT_TRUE(capture->lines.empty()) << "not-found is an answer, not a warning";

  EXPECT_FALSE(FileExists(invalid));
  const auto existsLines = capture->lines;
  capture->lines.clear();
  SearchFiles(invalid + L"\\*", files, folders);
  const auto searchLines = capture->lines;
  capture->lines.clear();
  EXPECT_THROW(FileMakeFolder(invalid), CWin32Exc);
  const auto makeLines = capture->lines;
  capture->Uninstall();

  const struct {
    const std::vector<CLogCapture::SLine>& lines;
    std::wstring first;
  } cases[] = {
      {existsLines, L"Failed to check is directory exist, path: " + invalid + L", long path " +
                        AddLongPathPrefix(invalid)},
      {searchLines, L"Failed to search files"},
      {makeLines, L"FileMakeFolder: failed to check if directory exist, path " + invalid + L", mask " +
                      AddLongPathPrefix(invalid + L"\\*")},
  };
  for (const auto& c : cases) {
    ASSERT_GE(c.lines.size(), 2u) << c.first;
    EXPECT_EQ(c.first, c.lines.front().text);
    bool hasCode = false;
    for (const auto& line : c.lines) {
      EXPECT_EQ(kLogWarning, line.level) << line.text;
      EXPECT_EQ(base + 1, line.alignment) << line.text;
      hasCode = hasCode || line.text.find(L" Code: 123") != std::wstring::npos;
    }
    EXPECT_TRUE(hasCode) << c.first;
  }
}

// --- Deleting ------------------------------------------------------------------

TEST_F(FileTest, DeleteFileIfExistsClearsProtectiveFlags) {
  const struct {
    const wchar_t* name;
    DWORD attributes;
  } cases[] = {
      {L"plain.txt", FILE_ATTRIBUTE_NORMAL},
      {L"readonly.txt", FILE_ATTRIBUTE_READONLY},
      {L"guarded.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
  };
  for (const auto& c : cases) {
    const std::wstring path = *this / c.name;
    MakeFile(path, c.attributes);
    DeleteFileIfExists(path);
    EXPECT_FALSE(IsPresent(path)) << c.name;
  }
  DeleteFileIfExists(*this / L"missing.txt");
  DeleteFileIfExists(*this / L"missing\\deeper.txt");
}

TEST_F(FileTest, DeleteFileIfExistsReportsFileInUse) {
  const std::wstring path = *this / L"busy.txt";
  MakeFile(path);
  CFileHandle held(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held.IsValid());

  const auto e = CatchExc<CWin32Exc>([&] { DeleteFileIfExists(path); });
  ASSERT_TRUE(e);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), e->GetWin32Error());
  EXPECT_EQ(static_cast<std::int32_t>(0x80070020), e->GetCode());
  ASSERT_EQ(2u, Lines(*e).size());
  EXPECT_EQ(L"Cannot delete file [" + path + L"].", Lines(*e).front());
  EXPECT_TRUE(IsPresent(path));
}

TEST_F(FileTest, ResetProtectiveFlagsKeepsOtherAttributes) {
  const std::wstring path = *this / L"flags.txt";
  MakeFile(path, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
  const DWORD before = ::GetFileAttributesW(path.c_str());
  ASSERT_TRUE(before & FILE_ATTRIBUTE_READONLY);
  ResetProtectiveFlags(path);
  EXPECT_EQ(before & ~DWORD{7}, ::GetFileAttributesW(path.c_str()));

  const std::wstring missing = *this / L"missing.txt";
  const auto e = CatchExc<CWin32Exc>([&] { ResetProtectiveFlags(missing); });
  ASSERT_TRUE(e);
  EXPECT_EQ(HrOf(ERROR_FILE_NOT_FOUND), e->GetCode());
  ASSERT_EQ(3u, Lines(*e).size());
  EXPECT_EQ(L"Cannot reset the protective flags. File path: [" + missing + L"].", Lines(*e)[0]);
  EXPECT_EQ(L"Cannot get file attributes. File path: [" + missing + L"].", Lines(*e)[1]);
}

TEST_F(FileTest, RemoveFolderRemovesTreeWithReadOnlyEntries) {
  const std::wstring tree = *this / L"tree";
  FileMakeFolder(tree + L"\\one\\two");
  FileMakeFolder(tree + L"\\empty");
  FileMakeFolder(tree + L"\\locked");
  MakeFile(tree + L"\\a.txt", FILE_ATTRIBUTE_READONLY);
  MakeFile(tree + L"\\one\\b.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  MakeFile(tree + L"\\one\\two\\c.txt");
  MakeFile(tree + L"\\locked\\d.txt", FILE_ATTRIBUTE_READONLY);
  ASSERT_TRUE(::SetFileAttributesW((tree + L"\\locked").c_str(), FILE_ATTRIBUTE_READONLY));

  RemoveFolder(tree);
  EXPECT_FALSE(IsPresent(tree));
  EXPECT_TRUE(IsFolder(m_scratch.Path()));
}

TEST_F(FileTest, RemoveFolderOfMissingFolderFails) {
  const std::wstring missing = *this / L"missing";
  const auto e = CatchExc<CWin32Exc>([&] { RemoveFolder(missing); });
  ASSERT_TRUE(e);
  EXPECT_EQ(HrOf(ERROR_FILE_NOT_FOUND), e->GetCode());
  ASSERT_EQ(3u, Lines(*e).size());
  EXPECT_EQ(L"Cannot remove folder [" + missing + L"].", Lines(*e)[0]);
  EXPECT_EQ(L"RemoveDirectory(" + AddLongPathPrefix(missing) + L") failed.", Lines(*e)[1]);
}

TEST_F(FileTest, RemoveFolderStopsAtFileInUse) {
  const std::wstring tree = *this / L"tree";
  const std::wstring held = tree + L"\\sub\\held.bin";
  FileMakeFolder(tree + L"\\sub");
  MakeFile(held);
  CFileHandle file(::CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(file.IsValid());

  const std::vector<std::wstring> context{L"Cannot remove folder [" + tree + L"].",
                                          L"Cannot remove folder [" + tree + L"\\sub].",
                                          L"Cannot delete file [" + held + L"]."};
  const auto e = CatchExc<CWin32Exc>([&] { RemoveFolder(tree); });
  ASSERT_TRUE(e);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), e->GetWin32Error());
  const std::vector<std::wstring> lines = Lines(*e);
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ(context, std::vector<std::wstring>(lines.begin(), lines.begin() + 3));

  // A sharing violation is not worth waiting for: thrown on the first attempt.
  for (const unsigned attempts : {1u, 5u}) {
    const auto retried = CatchExc<CWin32Exc>([&] { RemoveFolderWithRetries(tree, 1, attempts); });
    ASSERT_TRUE(retried);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), retried->GetWin32Error());
  }
  EXPECT_TRUE(IsPresent(held));

  // Zero attempts do nothing.
  file.Reset();
  RemoveFolderWithRetries(tree, 1, 0);
  EXPECT_TRUE(IsPresent(held));
}

TEST_F(FileTest, RemoveFolderWithRetriesWaitsForAnotherProcessToLetGo) {
  const std::wstring tree = *this / L"tree";
  FileMakeFolder(tree + L"\\sub");
  MakeFile(tree + L"\\plain.txt");
  // Shared for deleting: the name can be deleted but stays until the holder
  // closes it, so the folder is "not empty" meanwhile.
  CHeldFile holder(tree + L"\\sub\\held.bin", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  ASSERT_TRUE(holder.Holding()) << holder.Result().output;

  RemoveFolderWithRetries(tree, 10, 3);  // gives up quietly
  EXPECT_TRUE(IsFolder(tree + L"\\sub"));

  std::thread letGo([&] {
    ::Sleep(300);
    holder.LetGo();
  });
  RemoveFolderWithRetries(tree, 50, kChildTimeoutMs / 50);
  letGo.join();
  EXPECT_FALSE(IsPresent(tree));
  holder.Release();
  EXPECT_EQ(0u, holder.Result().exitCode) << holder.Result().output;
}

// --- Moving, copying, listing ----------------------------------------------------

TEST_F(FileTest, MoveFileToKeepsAnExistingTarget) {
  const std::wstring source = *this / L"source.txt";
  const std::wstring target = *this / L"target.txt";
  MakeFile(source, FILE_ATTRIBUTE_NORMAL, "moved");
  MoveFileTo(source, target);
  EXPECT_FALSE(IsPresent(source));
  EXPECT_EQ("moved", ReadFileBytes(target));

  MakeFile(source, FILE_ATTRIBUTE_NORMAL, "second");
  const auto e = CatchExc<CWin32Exc>([&] { MoveFileTo(source, target); });
  ASSERT_TRUE(e);
  EXPECT_EQ(HrOf(ERROR_ALREADY_EXISTS), e->GetCode());
  ASSERT_EQ(2u, Lines(*e).size());
  EXPECT_EQ(L"Cannot move file. Source path: [" + source + L"]. Target path: [" + target + L"].", Lines(*e)[0]);
  EXPECT_EQ("moved", ReadFileBytes(target));
}

TEST_F(FileTest, CopyFileToMakesFolderAndOverwrites) {
  const std::wstring source = *this / L"source.txt";
  const std::wstring target = *this / L"new\\deeper\\target.txt";
  MakeFile(source, FILE_ATTRIBUTE_NORMAL, "first");
  CopyFileTo(source, target, true);
  EXPECT_EQ("first", ReadFileBytes(target));

  MakeFile(source, FILE_ATTRIBUTE_NORMAL, "second");
  CopyFileTo(source, target, false);
  EXPECT_EQ("second", ReadFileBytes(target));
  EXPECT_EQ("second", ReadFileBytes(source));

  const std::wstring missing = *this / L"missing.txt";
  const auto e = CatchExc<CWin32Exc>([&] { CopyFileTo(missing, target, true); });
  ASSERT_TRUE(e);
  EXPECT_EQ(HrOf(ERROR_FILE_NOT_FOUND), e->GetCode());
  ASSERT_EQ(3u, Lines(*e).size());
  EXPECT_EQ(L"Cannot copy file. Source file: [" + missing + L"]. Target file: [" + target + L"].", Lines(*e)[0]);
  EXPECT_EQ(L"CopyFile() failed.", Lines(*e)[1]);
}

TEST_F(FileTest, SearchFilesSplitsFilesAndFoldersInSystemOrder) {
  for (const wchar_t* name : {L"f2.txt", L"dB", L"f1.log", L"dA", L"g3.txt"}) {
    if (name[0] == L'd') {
      FileMakeFolder(*this / name);
    } else {
      MakeFile(*this / name);
    }
  }
  // The order the system enumerates in, "." and ".." left out.
  std::vector<std::wstring> systemOrder;
  WIN32_FIND_DATAW data;
  CFindHandle find(::FindFirstFileW((*this / L"*").c_str(), &data));
  ASSERT_TRUE(find.IsValid());
  do {
    if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0) {
      systemOrder.push_back(data.cFileName);
    }
  } while (::FindNextFileW(find.Get(), &data));

  const struct {
    const wchar_t* pattern;
    std::vector<std::wstring> files;
    std::vector<std::wstring> folders;
  } cases[] = {
      {L"*", {L"f1.log", L"f2.txt", L"g3.txt"}, {L"dA", L"dB"}},
      {L"f*", {L"f1.log", L"f2.txt"}, {}},
      {L"*.txt", {L"f2.txt", L"g3.txt"}, {}},
      {L"none*", {}, {}},
  };
  for (const auto& c : cases) {
    std::vector<std::wstring> files{L"junk"}, folders{L"junk"};
    SearchFiles(CombinePath(m_scratch.Path(), c.pattern), files, folders);
    for (const auto* list : {&files, &folders}) {
      std::vector<std::wstring> expectedOrder;
      for (const auto& name : systemOrder) {
        if (std::find(list->begin(), list->end(), name) != list->end()) expectedOrder.push_back(name);
      }
      EXPECT_EQ(expectedOrder, *list) << c.pattern;
    }
    std::sort(files.begin(), files.end());
    std::sort(folders.begin(), folders.end());
    EXPECT_EQ(c.files, files) << c.pattern;
    EXPECT_EQ(c.folders, folders) << c.pattern;
  }
}

TEST_F(FileTest, LongPathsWorkThroughThePrefix) {
  std::wstring deep = m_scratch.Path();
  for (int i = 0; i < 6; ++i) deep += L"\\" + std::wstring(48, static_cast<wchar_t>(L'a' + i));
  const std::wstring copyFolder = deep + L"\\" + std::wstring(40, L'z');
  ASSERT_GT(deep.size(), static_cast<size_t>(MAX_PATH));

  FileMakeFolder(deep);
  EXPECT_TRUE(IsFolder(deep));
  const std::wstring file = deep + L"\\data.bin";
  {
    auto bin = CBinFile::Create(file, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    bin->Write("long", 4);
    EXPECT_EQ(4u, bin->GetSize());
    EXPECT_EQ(file, bin->GetPath());
  }
  EXPECT_TRUE(FileExists(file));
  CopyFileTo(file, copyFolder + L"\\copy.bin", true);
  EXPECT_TRUE(FileExists(copyFolder + L"\\copy.bin"));

  std::vector<std::wstring> files, folders;
  SearchFiles(CombinePath(deep, L"*"), files, folders);
  EXPECT_EQ(std::vector<std::wstring>{L"data.bin"}, files);
  EXPECT_EQ(std::vector<std::wstring>{std::wstring(40, L'z')}, folders);

  DeleteFileIfExists(file);
  EXPECT_FALSE(FileExists(file));
  const std::wstring top = m_scratch.Path() + L"\\" + std::wstring(48, L'a');
  RemoveFolder(top);
  EXPECT_FALSE(FileExists(top));
}

// --- CBinFile ------------------------------------------------------------------

TEST_F(FileTest, BinFileReadsWritesSeeksAndResizes) {
  const std::wstring path = *this / L"data.bin";
  auto file = CBinFile::Create(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
  ASSERT_TRUE(file);
  EXPECT_EQ(path, file->GetPath());
  file->Write("hello world", 11);
  EXPECT_EQ(11u, file->GetSize());

  char buffer[16] = {};
  file->SeekToBegin();
  ASSERT_EQ(5u, file->Read(buffer, 5));
  EXPECT_EQ("hello", std::string(buffer, 5));
  file->SeekTo(6);
  ASSERT_EQ(5u, file->Read(buffer, sizeof(buffer)));
  EXPECT_EQ("world", std::string(buffer, 5));
  EXPECT_EQ(0u, file->Read(buffer, sizeof(buffer)));

  file->SetSize(5);
  EXPECT_EQ(5u, file->GetSize());
  file->SeekToEnd();
  file->Write("!!", 2);
  EXPECT_EQ(7u, file->GetSize());

  file->SetSize(std::uint64_t{5} << 30);  // beyond 32 bits
  EXPECT_EQ(std::uint64_t{5} << 30, file->GetSize());
  file->SetSize(7);
  file.reset();
  EXPECT_EQ("hello!!", ReadFileBytes(path));

  // An existing file is opened, not replaced.
  file = CBinFile::Create(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_EQ(7u, file->GetSize());
}

TEST_F(FileTest, BinFileIoFailuresNameTheFile) {
  const std::wstring path = *this / L"data.bin";
  MakeFile(path, FILE_ATTRIBUTE_NORMAL, "0123456789");
  auto reader = CBinFile::Create(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  auto writer = CBinFile::Create(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  char buffer[4] = {};
  const std::uint64_t tooFar = std::uint64_t{1} << 63;

  const std::wstring missing = *this / L"missing.bin";
  const struct {
    const char* what;
    std::function<void()> call;
    std::wstring message;
  } cases[] = {
      {"create an existing file anew", [&] { CBinFile::Create(path, GENERIC_READ, FILE_SHARE_READ, CREATE_NEW); },
       L"Failed to create new binary file [" + path + L"]."},
      {"open a missing file", [&] { CBinFile::Create(missing, GENERIC_READ, 0, OPEN_EXISTING); },
       L"Failed to create new binary file [" + missing + L"]."},
      {"write to a read-only handle", [&] { reader->Write("abc", 3); },
       L"Failed to write [3] bytes to the file [" + path + L"]."},
      {"read from a write-only handle", [&] { writer->Read(buffer, 4); },
       L"Failed to read 4 bytes from the file [" + path + L"]."},
      {"seek before the beginning", [&] { reader->SeekTo(tooFar); },
       L"Unable to seek to the position 9223372036854775808 of the file [" + path + L"]"},
      {"resize before the beginning", [&] { writer->SetSize(tooFar); },
       L"Unable to seek to the position 9223372036854775808 of the file [" + path + L"]"},
      {"resize through a read-only handle", [&] { reader->SetSize(3); },
       L"Cannot set the new physical size 3 of the file [" + path + L"]."},
  };
  for (const auto& c : cases) {
    const auto e = CatchExc<CWin32Exc>(c.call);
    ASSERT_TRUE(e) << c.what;
    ASSERT_EQ(2u, Lines(*e).size()) << c.what;
    EXPECT_EQ(c.message, Lines(*e)[0]) << c.what;
    EXPECT_NE(0u, e->GetWin32Error()) << c.what;
  }
  EXPECT_EQ("0123456789", ReadFileBytes(path));
}

TEST_F(FileTest, BinFileCreateOnFileHeldByAnotherProcessThrowsLockFileExc) {
  const std::wstring path = *this / L"held.bin";
  {
    CHeldFile holder(path, 0);
    ASSERT_TRUE(holder.Holding()) << holder.Result().output;
    const auto e = CatchExc<CLockFileExc>([&] {
      CBinFile::Create(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
    });
    ASSERT_TRUE(e);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), e->GetWin32Error());
    EXPECT_EQ(static_cast<std::int32_t>(0x80070020), e->GetCode());
    holder.Release();
    EXPECT_EQ(0u, holder.Result().exitCode) << holder.Result().output;
  }
  EXPECT_TRUE(CBinFile::Create(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING));
}

// --- Processes, handles, versions ---------------------------------------------------

TEST_F(FileTest, StartProcessRunsTheProgramWithoutWaiting) {
  const std::wstring self = GetModulePath();
  const std::wstring commandLine = L"\"" + self + L"\" --gtest_filter=" + Widen(kChildTest);
  for (const std::wstring& executable : {self, std::wstring()}) {
    const std::wstring guid = NewGuidText();
    CKernelHandle started(::CreateEventW(nullptr, TRUE, FALSE, (L"korlo-file-test-ready-" + guid).c_str()));
    ASSERT_TRUE(started.IsValid());
    ::SetEnvironmentVariableW(L"KORLO_TEST_CHILD", (L"signal|" + guid).c_str());
    StartProcess(executable, commandLine);
    ::SetEnvironmentVariableW(L"KORLO_TEST_CHILD", nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(started.Get(), kChildTimeoutMs)) << Narrow(executable);
  }
}

TEST_F(FileTest, StartProcessOfMissingProgramNamesIt) {
  const std::wstring missing = *this / L"missing.exe";
  const auto e = CatchExc<CWin32Exc>([&] { StartProcess(missing, L"missing.exe --flag"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(HrOf(ERROR_FILE_NOT_FOUND), e->GetCode());
  ASSERT_EQ(2u, Lines(*e).size());
  EXPECT_EQ(L"Cannot create a new process. Path to the executable file: [" + missing +
                L"]. Command line arguments: [missing.exe --flag].",
            Lines(*e)[0]);
}

TEST(HandleTest, DuplicateOwnHandleIsNotInheritable) {
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  CKernelHandle event(::CreateEventW(&inheritable, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event.IsValid());
  CKernelHandle duplicate = DuplicateOwnHandle(event.Get());
  ASSERT_TRUE(duplicate.IsValid());
  EXPECT_NE(event.Get(), duplicate.Get());
  DWORD flags = 0;
  ASSERT_TRUE(::GetHandleInformation(duplicate.Get(), &flags));
  EXPECT_EQ(0u, flags & HANDLE_FLAG_INHERIT);

  // Same object, same access, and it outlives the original handle.
  const HANDLE original = event.Get();
  ASSERT_TRUE(::SetEvent(duplicate.Get()));
  EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(original, 0));
  event.Reset();
  EXPECT_TRUE(::ResetEvent(duplicate.Get()));

  const auto e = CatchExc<CWin32Exc>([] { DuplicateOwnHandle(reinterpret_cast<HANDLE>(0x1234)); });
  ASSERT_TRUE(e);
  EXPECT_EQ(HrOf(ERROR_INVALID_HANDLE), e->GetCode());
  EXPECT_EQ(L"Cannot duplicate handle.", Lines(*e).front());
}

TEST_F(FileTest, GetFileVersionReadsSystemLibrary) {
  wchar_t system[MAX_PATH] = {};
  ASSERT_NE(0u, ::GetSystemDirectoryW(system, MAX_PATH));
  const VS_FIXEDFILEINFO version = GetFileVersion(std::wstring(system) + L"\\kernel32.dll");
  EXPECT_EQ(0xFEEF04BDu, version.dwSignature);
  EXPECT_NE(0u, version.dwFileVersionMS);
}

TEST_F(FileTest, GetFileVersionWithoutVersionResourceFails) {
  const std::wstring text = *this / L"plain.txt";
  MakeFile(text, FILE_ATTRIBUTE_NORMAL, "no resources here");
  for (const std::wstring& path : {text, *this / L"missing.dll"}) {
    const auto e = CatchExc<CWin32Exc>([&] { GetFileVersion(path); });
    ASSERT_TRUE(e);
    ASSERT_EQ(3u, Lines(*e).size());
    EXPECT_EQ(L"Cannot get file version. File path: [" + path + L"].", Lines(*e)[0]);
    EXPECT_EQ(L"Cannot obtain the size of the VERSION_INFO structure.", Lines(*e)[1]);
    EXPECT_NE(0u, e->GetWin32Error());
  }
}

// --- The child side of the multi-process tests ------------------------------------

// Roles: "hold|<share mode>|<guid>|<path>" opens the file (creating it) with
// that share mode, signals the ready event and keeps the file open until
// the release event is set; "signal|<guid>" only signals the ready event.
TEST(FileChildTest, Run) {
  const std::wstring role = ChildRole();
  if (role.empty()) GTEST_SKIP() << "runs only as a child of the file tests";

  std::vector<std::wstring> fields;
  size_t begin = 0;
  for (int i = 0; i < 3; ++i) {
    const size_t bar = role.find(L'|', begin);
    if (bar == std::wstring::npos) break;
    fields.push_back(role.substr(begin, bar - begin));
    begin = bar + 1;
  }
  fields.push_back(role.substr(begin));

  if (fields[0] == L"signal") {
    ASSERT_EQ(2u, fields.size());
    CKernelHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, (L"korlo-file-test-ready-" + fields[1]).c_str()));
    ASSERT_TRUE(ready.IsValid()) << ::GetLastError();
    ASSERT_TRUE(::SetEvent(ready.Get()));
    return;
  }
  ASSERT_EQ(L"hold", fields[0]);
  ASSERT_EQ(4u, fields.size());
  const DWORD share = static_cast<DWORD>(std::stoul(fields[1]));
  CFileHandle file(::CreateFileW(fields[3].c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file.IsValid()) << ::GetLastError();
  CKernelHandle release(::OpenEventW(SYNCHRONIZE, FALSE, (L"korlo-file-test-release-" + fields[2]).c_str()));
  ASSERT_TRUE(release.IsValid()) << ::GetLastError();
  CKernelHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, (L"korlo-file-test-ready-" + fields[2]).c_str()));
  ASSERT_TRUE(ready.IsValid()) << ::GetLastError();
  ASSERT_TRUE(::SetEvent(ready.Get()));
  EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(release.Get(), kChildTimeoutMs));
}

}  // namespace
