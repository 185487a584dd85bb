// The out-of-process dump generator: writes the dump recorder's image to the
// temporary folder, starts it with an inheritable handle of this process and
// the address of the crash's EXCEPTION_POINTERS, and waits for it.
#pragma once

#include "base/handle.h"
#include "crash/dump_gen.h"

#include <cstdint>
#include <string>

namespace crash {

// MINIDUMP_TYPE masks by name.
constexpr std::uint32_t kDumpTypeNormal = 0;
constexpr std::uint32_t kDumpTypeFull = 0x21907;  // data segments, full memory and memory info, handles,
                                                  // process and thread data, inaccessible memory ignored
// The dump type the recorder is told: the mask when it is not 0, else the
// mode text, exactly "Normal" or "Full" (anything else is Normal).
std::uint32_t DumpTypeFor(std::uint32_t mask, const std::wstring& modeText);
// The recorder's exit code in words; an unknown code as its signed decimal.
std::wstring RecorderExitText(DWORD code);
// The recorder's command line: the quoted recorder path, the inherited
// process handle, the pointers' address, the thread id, the dump type, the
// dump count, the quoted folder ("." when empty) and the quoted name stem.
std::wstring RecorderCommandLine(const std::wstring& recorderPath, HANDLE process, const void* pointers,
                                 DWORD threadId, std::uint32_t dumpType, const std::wstring& folder,
                                 const std::wstring& prefix);

namespace win32 {

class COutOfProcDumpGen : public dump_gen_base_t {
 public:
  // Makes the folder "<temp>\KorloDumpRecorder{GUID}" for administrators
  // only, writes the recorder into it under the same name and keeps it open
  // with delete-on-close: the file goes when this object (or the process)
  // does, and the folder with this object. Throws CExc.
  COutOfProcDumpGen();
  // Runs the recorder for the calling (crashed) thread and waits without a
  // limit: the crashed thread has nothing else to do. Throws CExc, also for
  // a non-zero exit code of the recorder.
  void Generate(const std::wstring& folder, const std::wstring& prefix, EXCEPTION_POINTERS* pointers) override;


 private:
  // The folder of the recorder and of nothing else, removed once empty when
  // the generator goes (after the recorder's file, declared below it).
  struct SRecorderFolder {
    std::wstring path;
    ~SRecorderFolder() {
      if (!path.empty()) ::RemoveDirectoryW(path.c_str());
    }
  };

  SRecorderFolder m_folder;
  std::wstring m_recorderPath;
  CFileHandle m_recorderFile;  // delete access only, FILE_FLAG_DELETE_ON_CLOSE
  CKernelHandle m_process;     // inheritable: the recorder's way into this process
};

}  // namespace win32
}  // namespace crash
