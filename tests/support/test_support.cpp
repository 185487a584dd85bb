#include "test_support.h"

#include "base/compat.h"
#include "base/exc.h"
#include "base/msg.h"
#include "util/file.h"

#include <aclapi.h>
#include <objbase.h>

#include <cstring>

#include <gtest/gtest.h>

namespace testing_support {

std::wstring NewGuidText() {
  const std::wstring braced = NewBracedGuid();
  return braced.substr(1, braced.size() - 2);
}

CScratchDir::CScratchDir() {
  m_path = GetTempFolder() + L"korlo-test-" + NewGuidText();
  ::CreateDirectoryW(m_path.c_str(), nullptr);
}

CScratchDir::~CScratchDir() {
  try {
    RemoveFolder(m_path);
  } catch (const CExc&) {
    // Still held by a process the test started; the temporary folder keeps it.
  }
}

SProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs, const std::wstring& currentFolder,
                          const std::string& input) {
  // The child reads its input from a file and writes into another: no
  // reader thread, and no wait for grandchildren that inherited a pipe.
  SProcessResult result;
  CScratchDir io;
  WriteFileBytes(io / L"in", input);
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  CFileHandle in(::CreateFileW((io / L"in").c_str(), GENERIC_READ, share, &inheritable, OPEN_EXISTING, 0, nullptr));
  CFileHandle out(::CreateFileW((io / L"out").c_str(), GENERIC_WRITE, share, &inheritable, CREATE_ALWAYS, 0, nullptr));
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in.Get();
  startup.hStdOutput = startup.hStdError = out.Get();
  PROCESS_INFORMATION info = {};
  std::wstring mutableLine = commandLine;
  if (!::CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                        currentFolder.empty() ? nullptr : currentFolder.c_str(), &startup, &info)) {
    ADD_FAILURE() << "CreateProcessW failed: " << ::GetLastError() << " for " << Narrow(commandLine);
    return result;
  }
  CKernelHandle process(info.hProcess), thread(info.hThread);
  if (::WaitForSingleObject(process.Get(), timeoutMs) != WAIT_OBJECT_0) {
    result.timedOut = true;
    ::TerminateProcess(process.Get(), 0xDEAD);
    ::WaitForSingleObject(process.Get(), 5000);
  }
  ::GetExitCodeProcess(process.Get(), &result.exitCode);
  result.output = ReadFileBytes(io / L"out");
  return result;
}

std::wstring ChildRole() {
  wchar_t buffer[256] = {};
  const DWORD length = ::GetEnvironmentVariableW(L"KORLO_TEST_CHILD", buffer, 256);
  return std::wstring(buffer, length < 256 ? length : 0);
}

SProcessResult RunSelfAsChild(const std::string& testName, const std::wstring& role, DWORD timeoutMs) {
  wchar_t self[MAX_PATH * 2] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
  ::SetEnvironmentVariableW(L"KORLO_TEST_CHILD", role.c_str());
  SProcessResult result =
      RunProcess(L"\"" + std::wstring(self) + L"\" --gtest_filter=" + Widen(testName), timeoutMs);
  ::SetEnvironmentVariableW(L"KORLO_TEST_CHILD", nullptr);
  return result;
}

std::wstring ProgramFolder() {
  wchar_t self[MAX_PATH * 2] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
  std::wstring path(self);
  return path.substr(0, path.find_last_of(L'\\'));
}

std::string ReadFileBytes(const std::wstring& path) {
  CFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return std::string();
  std::string bytes;
  char buffer[65536];
  DWORD read = 0;
  while (::ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) bytes.append(buffer, read);
  return bytes;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  CFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(file.IsValid()) << "cannot create " << Narrow(path) << ": " << ::GetLastError();
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

std::wstring Utf16(const std::string& bytes) {
  const size_t start = bytes.compare(0, 2, "\xFF\xFE") == 0 ? 2 : 0;
  std::wstring text((bytes.size() - start) / 2, L'\0');
  if (!text.empty()) std::memcpy(&text[0], bytes.data() + start, text.size() * 2);
  return text;
}

std::string Narrow(const std::wstring& text) {
  std::string result;
  result.reserve(text.size());
  for (wchar_t c : text) result += (c < 128) ? static_cast<char>(c) : '?';
  return result;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

CMachineKeyRedirect::CMachineKeyRedirect() : m_path(L"Software\\Korlo Tests\\" + NewGuidText()) {
  EXPECT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, m_key.Receive(), nullptr));
  EXPECT_EQ(ERROR_SUCCESS, ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_key.Get()));
}

CMachineKeyRedirect::~CMachineKeyRedirect() {
  ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  m_key.Reset();
  ::RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
  ::RegDeleteKeyW(HKEY_CURRENT_USER, m_path.c_str());
}

void CTestRegKey::Create() {
  CRegKey key;
  ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, key.Receive(), nullptr));
}

void CTestRegKey::Delete() { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_subKey.c_str()); }

void CTestRegKey::SetDword(const std::wstring& name, DWORD value) {
  SetBinary(name, std::vector<BYTE>(reinterpret_cast<BYTE*>(&value), reinterpret_cast<BYTE*>(&value + 1)),
            REG_DWORD);
}

void CTestRegKey::SetBinary(const std::wstring& name, const std::vector<BYTE>& data, DWORD type) {
  CRegKey key;
  ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, key.Receive(), nullptr));
  ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.Get(), name.c_str(), 0, type, data.data(),
                                            static_cast<DWORD>(data.size())));
}

std::vector<std::wstring> SplitLines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find(L"\r\n", begin);
    if (end == std::wstring::npos) end = text.size();
    lines.push_back(text.substr(begin, end - begin));
    begin = end + 2;
  }
  return lines;
}

std::string JoinLines(const std::vector<std::wstring>& lines) {
  std::string all;
  for (const auto& line : lines) all += Narrow(line) + "\n";
  return all;
}

std::wstring LogLineText(const std::wstring& line) {
  // "<date> <time>  <tid>  <TAG>    <text>": the tag is the first of the
  // four known ones after the date.
  size_t tag = std::wstring::npos;
  for (const wchar_t* known : {L"  INFO    ", L"  WARN    ", L"  ERR     ", L"          "}) {
    const size_t at = line.find(known, 10);
    if (at < tag) tag = at;
  }
  return tag == std::wstring::npos ? line : line.substr(tag + 10);
}

std::vector<std::wstring> LogLineTexts(const std::wstring& content) {
  std::vector<std::wstring> texts;
  for (const std::wstring& line : SplitLines(content)) texts.push_back(LogLineText(line));
  return texts;
}

bool Exists(const std::wstring& path) {
  const std::wstring full = path.size() >= MAX_PATH && path.compare(0, 4, L"\\\\?\\") != 0 ? L"\\\\?\\" + path : path;
  return ::GetFileAttributesW(full.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring UnixName(const std::wstring& path) {
  using ToUnix = char*(CDECL*)(const wchar_t*);
  const auto toUnix = ProcCast<ToUnix>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name"));
  char* unixPath = toUnix ? toUnix(path.c_str()) : nullptr;
  if (!unixPath) return std::wstring();
  const std::wstring name = Widen(unixPath);
  ::HeapFree(::GetProcessHeap(), 0, unixPath);
  return name;
}

bool RunOnUnixPath(const std::wstring& command, const std::wstring& path, bool listed) {
  const std::wstring unixPath = UnixName(path);
  if (unixPath.empty()) return false;
  RunProcess(L"Z:\\bin\\" + command + L" " + unixPath);
  WIN32_FIND_DATAW found;
  for (int i = 0; i < 500 && CFindHandle(::FindFirstFileW(path.c_str(), &found)).IsValid() != listed; ++i) ::Sleep(10);
  return CFindHandle(::FindFirstFileW(path.c_str(), &found)).IsValid() == listed;
}

bool OpenToUsers(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                          &descriptor);
  const CLocalMem owned(descriptor);
  ACCESS_ALLOWED_ACE* ace = nullptr;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount && ::GetAce(dacl, i, reinterpret_cast<void**>(&ace)); ++i) {
    for (const auto type : {WinWorldSid, WinBuiltinUsersSid, WinAuthenticatedUserSid, WinInteractiveSid,
                            WinBuiltinGuestsSid, WinAnonymousSid}) {
      BYTE sid[SECURITY_MAX_SID_SIZE];
      DWORD size = sizeof(sid);
      ::CreateWellKnownSid(type, nullptr, sid, &size);
      if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && ::EqualSid(sid, &ace->SidStart)) return true;
    }
  }
  return dacl == nullptr;
}

bool ContainsText(const std::vector<std::wstring>& lines, const std::wstring& text) {
  for (const std::wstring& line : lines) {
    if (line == text) return true;
  }
  return false;
}

std::vector<std::wstring> FilesIn(const std::wstring& dir, const std::wstring& mask) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  CFindHandle find(::FindFirstFileW((dir + L"\\" + mask).c_str(), &data));
  if (!find) return names;
  do {
    names.push_back(data.cFileName);
  } while (::FindNextFileW(find.Get(), &data));
  return names;
}

SDumpFacts ReadDump(const std::wstring& path) {
  const std::string bytes = ReadFileBytes(path);
  SDumpFacts facts;
  auto u32 = [&](std::size_t at) {
    DWORD value = 0;
    if (at + 4 <= bytes.size()) std::memcpy(&value, bytes.data() + at, 4);
    return value;
  };
  facts.valid = bytes.compare(0, 4, "MDMP") == 0;
  const DWORD streams = u32(8), directory = u32(12);
  for (DWORD i = 0; facts.valid && i < streams; ++i) {
    const std::size_t entry = directory + i * 12;  // type, size, rva
    if (u32(entry) != 6) continue;                 // ExceptionStream
    const DWORD rva = u32(entry + 8);
    facts.hasException = true;
    facts.threadId = u32(rva);
    facts.code = u32(rva + 8);
  }
  return facts;
}

}  // namespace testing_support
