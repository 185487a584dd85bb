#include "host_runner.h"

#include <gtest/gtest.h>

#include <shlobj.h>

namespace testing_support {

CHostRun::CHostRun(const std::vector<std::wstring>& extraFiles) {
  const std::wstring bin = ProgramFolder();
  EXPECT_TRUE(::CopyFileW((bin + L"\\KorloGuestHelper.exe").c_str(), ExePath().c_str(), FALSE));
  for (const std::wstring& entry : extraFiles) {
    const size_t equals = entry.find(L'=');
    const std::wstring source = entry.substr(0, equals);
    const std::wstring target = equals == std::wstring::npos ? entry : entry.substr(equals + 1);
    EXPECT_TRUE(::CopyFileW((bin + L"\\" + source).c_str(), (m_dir / target).c_str(), FALSE))
        << Narrow(source) << ": " << ::GetLastError();
  }
}

std::wstring CHostRun::LogPath(const std::wstring& name) {
  wchar_t folder[MAX_PATH] = {};
  ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
  return std::wstring(folder) + L"\\Korlo\\Backup\\" + name + L".log";
}

SProcessResult CHostRun::Run(const std::wstring& arguments, const std::string& input, DWORD timeoutMs,
                             const std::wstring& currentFolder) {
  for (const wchar_t* name : {L"KorloGuestHelper", L"KorloUninstall"}) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    m_logStart[name] = ::GetFileAttributesExW(LogPath(name).c_str(), GetFileExInfoStandard, &data)
                           ? (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow
                           : 0;
  }
  std::wstring commandLine = L"\"" + ExePath() + L"\"";
  if (!arguments.empty()) commandLine += L" " + arguments;
  return RunProcess(commandLine, timeoutMs, currentFolder.empty() ? Folder() : currentFolder, input);
}

std::vector<std::wstring> CHostRun::LogLines(const std::wstring& name) const {
  const std::string bytes = ReadFileBytes(LogPath(name));
  const auto start = m_logStart.find(name);
  const size_t from = start == m_logStart.end() ? 0 : static_cast<size_t>(start->second);
  return SplitLines(Utf16(from < bytes.size() ? bytes.substr(from) : std::string()));
}

std::vector<std::wstring> CHostRun::LogTexts(const std::wstring& name) const {
  std::vector<std::wstring> texts;
  for (const std::wstring& line : LogLines(name)) texts.push_back(LogLineText(line));
  return texts;
}

bool ContainsInOrder(const std::vector<std::wstring>& lines, const std::vector<std::wstring>& sequence) {
  size_t next = 0;
  for (const std::wstring& line : lines) {
    if (next < sequence.size() && line == sequence[next]) ++next;
  }
  return next == sequence.size();
}

bool HasLineContaining(const std::vector<std::wstring>& lines, const std::wstring& part) {
  for (const std::wstring& line : lines) {
    if (line.find(part) != std::wstring::npos) return true;
  }
  return false;
}

}  // namespace testing_support
