#include "base/path.h"

#include "base/exc.h"

#include <vector>

namespace {

constexpr DWORD kModulePathInitialChars = 512;

const wchar_t kLongPathPrefix[] = L"\\\\?\\";
const wchar_t kLongUncPrefix[] = L"\\\\?\\UNC\\";

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace

std::wstring GetModulePath(HMODULE module) {
  std::wstring buffer(kModulePathInitialChars, L'\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length = ::GetModuleFileNameW(module, &buffer[0], size);
    const DWORD error = ::GetLastError();
    if (length == 0) throw CWin32Exc(L"GetModuleFileNameW() failed.", error);
    // A truncated result fills the whole buffer (and reports 122 from
    // Windows Vista on).
    if (error != ERROR_INSUFFICIENT_BUFFER && length < size) {
      buffer.resize(length);
      return buffer;
    }
    buffer.assign(static_cast<size_t>(size) * 2 + 1, L'\0');
  }
}

std::wstring GetModuleFolder() {
  std::wstring folder, file;
  SplitPath(GetModulePath(), folder, file);
  return folder;
}

std::wstring GetModuleName(HMODULE module) {
  std::wstring folder, file;
  SplitPath(GetModulePath(module), folder, file);
  return file;
}

void SplitPath(const std::wstring& path, std::wstring& folder, std::wstring& file) {
  size_t pos = std::wstring::npos;
  if (!path.empty() && path[0] == L'/') {
    pos = path.rfind(L'/');
  } else {
    pos = path.rfind(L'\\');
    if (pos == std::wstring::npos) pos = path.rfind(L'/');
  }
  if (pos == std::wstring::npos) {
    folder.clear();
    file = path;
    return;
  }
  // Copies first: path may be one of the outputs.
  std::wstring head = path.substr(0, pos);
  std::wstring tail = path.substr(pos + 1);
  folder = std::move(head);
  file = std::move(tail);
}

void SplitFileName(const std::wstring& file, std::wstring& base, std::wstring& extension) {
  const size_t pos = file.rfind(L'.');
  if (pos == std::wstring::npos) {
    std::wstring whole = file;
    base = std::move(whole);
    extension.clear();
    return;
  }
  std::wstring head = file.substr(0, pos);
  std::wstring tail = file.substr(pos + 1);
  base = std::move(head);
  extension = std::move(tail);
}

std::wstring FileStem(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  std::wstring file = separator == std::wstring::npos ? path : path.substr(separator + 1);
  const size_t colon = file.rfind(L':');  // a drive-relative name ("C:plugin.dll")
  if (colon != std::wstring::npos) file.erase(0, colon + 1);
  if (file == L"." || file == L"..") return file;
  const size_t dot = file.rfind(L'.');
  if (dot == std::wstring::npos || dot == 0) return file;
  return file.substr(0, dot);
}

std::wstring JoinPath(const std::vector<std::wstring>& parts, bool slashStyle) {
  const wchar_t separator = slashStyle ? L'/' : L'\\';
  std::wstring result;
  bool first = true;
  for (const std::wstring& part : parts) {
    if (!first) result += separator;
    first = false;
    if (part.empty()) continue;
    result.append(part, 0, IsSeparator(part.back()) ? part.size() - 1 : part.size());
  }
  return result;
}

std::wstring CombinePath(const std::wstring& a, const std::wstring& b) {
  return JoinPath({a, b}, !a.empty() && a[0] == L'/');
}

std::wstring AddLongPathPrefix(const std::wstring& path) {
  if (path.size() >= 4 && _wcsnicmp(path.c_str(), kLongPathPrefix, 4) == 0) return path;
  if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') return kLongUncPrefix + path.substr(2);
  return kLongPathPrefix + path;
}

VS_FIXEDFILEINFO GetFileVersion(const std::wstring& path) {
  try {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) throw CWin32Exc(L"Cannot obtain the size of the VERSION_INFO structure.", kUseLastError);
    std::vector<BYTE> data(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data())) {
      throw CWin32Exc(L"Cannot retrieve raw version information.", kUseLastError);
    }
    void* fixed = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(data.data(), L"\\", &fixed, &length) || !fixed || length < sizeof(VS_FIXEDFILEINFO)) {
      throw CWin32Exc(L"Cannot retrieve a pointer to the VS_FIXEDFILEINFO structure.", kUseLastError);
    }
    return *static_cast<const VS_FIXEDFILEINFO*>(fixed);
  } catch (CExc& e) {
    e.AddContext(L"Cannot get file version. File path: [%1].", path);
    throw;
  }
}
