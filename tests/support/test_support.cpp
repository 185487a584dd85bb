#include "test_support.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace testing_support {

namespace {

std::wstring TempFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
  std::wstring path(buffer, length);
  if (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW data;
  CFindHandle find(::FindFirstFileW((path + L"\\*").c_str(), &data));
  if (find) {
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + name;
      ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        ::DeleteFileW(child.c_str());
      }
    } while (::FindNextFileW(find.Get(), &data));
  }
  ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::RemoveDirectoryW(path.c_str());
}

}  // namespace

std::wstring NewGuidText() {
  GUID guid;
  ::CoCreateGuid(&guid);
  wchar_t text[64];
  ::StringFromGUID2(guid, text, 64);
  std::wstring result(text);
  return result.substr(1, result.size() - 2);
}

CScratchDir::CScratchDir() {
  m_path = TempFolder() + L"\\korlo-test-" + NewGuidText();
  ::CreateDirectoryW(m_path.c_str(), nullptr);
}

CScratchDir::~CScratchDir() { RemoveTree(m_path); }

SProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs, const std::wstring& currentFolder,
                          const std::string& input) {
  SProcessResult result;
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr, inRead = nullptr, inWrite = nullptr;
  if (!::CreatePipe(&outRead, &outWrite, &inheritable, 0) || !::CreatePipe(&inRead, &inWrite, &inheritable, 0)) {
    ADD_FAILURE() << "CreatePipe failed: " << ::GetLastError();
    return result;
  }
  CKernelHandle outReadOwner(outRead), outWriteOwner(outWrite), inReadOwner(inRead), inWriteOwner(inWrite);
  ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead;
  startup.hStdOutput = outWrite;
  startup.hStdError = outWrite;
  PROCESS_INFORMATION info = {};
  std::wstring mutableLine = commandLine;
  if (!::CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                        currentFolder.empty() ? nullptr : currentFolder.c_str(), &startup, &info)) {
    ADD_FAILURE() << "CreateProcessW failed: " << ::GetLastError() << " for " << Narrow(commandLine);
    return result;
  }
  CKernelHandle process(info.hProcess), thread(info.hThread);
  outWriteOwner.Reset();
  inReadOwner.Reset();

  // The reader owns its pipe end and buffer, so that it may outlive this call
  // when a grandchild that inherited the pipe keeps it open.
  struct SReader {
    CKernelHandle pipe;
    CKernelHandle done{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::string output;
  };
  auto state = std::make_shared<SReader>();
  state->pipe.Reset(outReadOwner.Release());
  std::thread([state] {
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(state->pipe.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
      state->output.append(buffer, read);
    }
    ::SetEvent(state->done.Get());
  }).detach();
  if (!input.empty()) {
    DWORD written = 0;
    ::WriteFile(inWrite, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
  }
  inWriteOwner.Reset();

  if (::WaitForSingleObject(process.Get(), timeoutMs) != WAIT_OBJECT_0) {
    result.timedOut = true;
    ::TerminateProcess(process.Get(), 0xDEAD);
    ::WaitForSingleObject(process.Get(), 5000);
  }
  ::GetExitCodeProcess(process.Get(), &result.exitCode);
  if (::WaitForSingleObject(state->done.Get(), 5000) == WAIT_OBJECT_0) result.output = state->output;
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
  size_t start = 0;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    start = 2;
  }
  std::wstring text((bytes.size() - start) / 2, L'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[start + 2 * i]) |
                                   (static_cast<unsigned char>(bytes[start + 2 * i + 1]) << 8));
  }
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

bool ContainsText(const std::vector<std::wstring>& lines, const std::wstring& text) {
  for (const std::wstring& line : lines) {
    if (line == text) return true;
  }
  return false;
}

}  // namespace testing_support
