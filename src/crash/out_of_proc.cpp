#include "crash/out_of_proc.h"

#include "base/exc.h"
#include "base/msg.h"
#include "base/path.h"
#include "crash/recorder/recorder_codes.h"
#include "log/log.h"
#include "settings/settings.h"
#include "util/file.h"
#include "util/security.h"

#include <objbase.h>
#include <rpc.h>

#include <vector>

// The recorder's executable image (built from crash/recorder/).
extern const unsigned char g_recorderImage[];
extern const std::size_t g_recorderImage_size;

namespace crash {

std::uint32_t DumpTypeFor(std::uint32_t mask, const std::wstring& modeText) {
  if (mask != 0) return mask;
  return modeText == L"Full" ? kDumpTypeFull : kDumpTypeNormal;
}

std::wstring RecorderExitText(DWORD code) {
  switch (code) {
    case RECORDER_SUCCESS: return L"success";
    case RECORDER_UNSPECIFIED: return L"unspecified failure";
    case RECORDER_BAD_ARG_COUNT: return L"invalid count of arguments";
    case RECORDER_BAD_ARGS: return L"invalid arguments";
    case RECORDER_NO_FOLDER: return L"cannot create dump folder";
    case RECORDER_NO_CLEANUP: return L"cannot delete old dumps";
    case RECORDER_BAD_NAME: return L"invalid dump name";
    case RECORDER_NO_FILE: return L"cannot create dump file";
    case RECORDER_NO_CONTENT: return L"cannot write dump content";
    case RECORDER_NO_NTDLL: return L"NTDLL is not loaded";
    case RECORDER_NO_MEMSET: return L"memset is not exported from NTDLL";
    case RECORDER_NO_VSNWPRINTF: return L"_vsnwprintf is not exported from NTDLL";
    default: return DecText(static_cast<std::int32_t>(code));
  }
}

std::wstring RecorderCommandLine(const std::wstring& recorderPath, HANDLE process, const void* pointers,
                                 DWORD threadId, std::uint32_t dumpType, const std::wstring& folder,
                                 const std::wstring& prefix) {
  // Both numbers go out as signed 64-bit values; a 32-bit address is
  // sign-extended.
  const long long handleValue = reinterpret_cast<std::intptr_t>(process);
  const long long pointersValue = reinterpret_cast<std::intptr_t>(pointers);
  return L"\"" + recorderPath + L"\" " + std::to_wstring(handleValue) + L" " + std::to_wstring(pointersValue) + L" " +
         std::to_wstring(threadId) + L" " + std::to_wstring(dumpType) + L" " + std::to_wstring(win32::MaxStoredDumps) +
         L" \"" + (folder.empty() ? std::wstring(L".") : folder) + L"\" \"" + prefix + L"_crash_\"";
}

namespace win32 {

namespace {

std::wstring NewRecorderName() { return L"KorloDumpRecorder" + NewBracedGuid(); }

}  // namespace

COutOfProcDumpGen::COutOfProcDumpGen() {
  const std::wstring name = NewRecorderName();
  const std::wstring temp = GetTempFolder();
  FileMakeFolder(temp);
  const std::wstring folder = CombinePath(temp, name);
  m_recorderPath = CombinePath(folder, name);
  HANDLE duplicate = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(), &duplicate, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
    const DWORD error = ::GetLastError();
    throw CWin32Exc(L"Cannot initialize out-of-process dump generator: failed to duplicate current process handle",
                    error);
  }
  m_process.Reset(duplicate);

  // Others may write to the temporary folder: the recorder starts from a
  // folder of its own that they cannot write to, so that no library of
  // theirs is found beside it. An existing folder of that name is refused.
  util::protected_security_t security;
  if (!::CreateDirectoryW(folder.c_str(), security.Attributes())) {
    const DWORD error = ::GetLastError();
    throw CWin32Exc(L"Failed to create dump recorder file: %1", m_recorderPath, error);
  }
  m_folder.path = folder;
  {
    CFileHandle file(::CreateFileW(m_recorderPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                   nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      const DWORD error = ::GetLastError();
      throw CWin32Exc(L"Failed to create dump recorder file: %1", m_recorderPath, error);
    }
    const DWORD size = static_cast<DWORD>(g_recorderImage_size);
    DWORD written = 0;
    if (!::WriteFile(file.Get(), g_recorderImage, size, &written, nullptr) || written != size) {
      const DWORD error = ::GetLastError();
      throw CWin32Exc(L"Failed to write dump recorder code to %1", m_recorderPath, error ? error : ERROR_WRITE_FAULT);
    }
  }
  m_recorderFile.Reset(::CreateFileW(m_recorderPath.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (!m_recorderFile) {
    const DWORD error = ::GetLastError();
    throw CWin32Exc(L"Failed to re-open dump recorder for deletion: %1", m_recorderPath, error);
  }
}

void COutOfProcDumpGen::Generate(const std::wstring& folder, const std::wstring& prefix,
                                 EXCEPTION_POINTERS* pointers) {
  CLogStep step(g_log, L"Generating dump to %1", folder);
  const std::uint32_t dumpType = DumpTypeFor(GetMiniDumpModeMask(), GetMiniDumpModeText());
  std::wstring commandLine = RecorderCommandLine(m_recorderPath, m_process.Get(), pointers, ::GetCurrentThreadId(),
                                                 dumpType, folder, prefix);
  std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
  writable.push_back(L'\0');

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started = {};
  if (!::CreateProcessW(m_recorderPath.c_str(), writable.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &started)) {
    const DWORD error = ::GetLastError();
    throw CWin32Exc(L"Failed to start dump generator process. File: %1", m_recorderPath, error);
  }
  const CKernelHandle process(started.hProcess);
  const CKernelHandle thread(started.hThread);
  if (::WaitForSingleObject(process.Get(), INFINITE) != WAIT_OBJECT_0) {
    throw CWin32Exc(L"Failed to wait for dump generator process to complete", kUseLastError);
  }
  DWORD exitCode = 0;
  if (!::GetExitCodeProcess(process.Get(), &exitCode)) {
    throw CWin32Exc(L"Failed to retrieve dump generator process exit code", kUseLastError);
  }
  if (exitCode != 0) {
    throw CExc(L"Dump generator process failed with %1: %2", DecText(static_cast<std::int32_t>(exitCode)),
               RecorderExitText(exitCode), E_FAIL);
  }
  step.Ok();
}

}  // namespace win32
}  // namespace crash
