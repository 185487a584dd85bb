// Runs the real KorloGuestHelper.exe from a private folder and reads the log
// it writes under C:\ProgramData\Korlo\Backup.
#pragma once

#include "test_support.h"

#include <string>
#include <vector>

namespace testing_support {

class CHostRun {
 public:
  // Copies the host (and the named files from the build folder, each as
  // "source=target" or a bare name) into a fresh folder.
  explicit CHostRun(const std::vector<std::wstring>& extraFiles = {});

  const std::wstring& Folder() const { return m_dir.Path(); }
  std::wstring ExePath() const { return m_dir / L"KorloGuestHelper.exe"; }

  // Runs the host with the arguments (its log file removed first).
  SProcessResult Run(const std::wstring& arguments, const std::string& input = std::string(),
                     DWORD timeoutMs = 60000);
  // The log of the last run ("KorloGuestHelper" or "KorloUninstall"), as
  // lines without their CR LF, each with the full line prefix.
  std::vector<std::wstring> LogLines(const std::wstring& name = L"KorloGuestHelper") const;
  // The lines' texts: the part after the tag and its four blanks, with the
  // alignment blanks kept.
  std::vector<std::wstring> LogTexts(const std::wstring& name = L"KorloGuestHelper") const;
  static std::wstring LogPath(const std::wstring& name);

 private:
  CScratchDir m_dir;
};

// True when `lines` holds `sequence` in that order (not necessarily adjacent).
bool ContainsInOrder(const std::vector<std::wstring>& lines, const std::vector<std::wstring>& sequence);
// True when some line holds `part`.
bool HasLineContaining(const std::vector<std::wstring>& lines, const std::wstring& part);

}  // namespace testing_support
