// Runs the real KorloGuestHelper.exe from a private folder and reads the
// lines it appends to its log under the all-users application-data folder.
// The log files are the product's own: they are never deleted or rewritten,
// only read from where they ended before the run.
#pragma once

#include "test_support.h"

#include <cstdint>
#include <map>
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

  // Runs the host with the arguments, from its own folder unless another is
  // named.
  SProcessResult Run(const std::wstring& arguments, const std::string& input = std::string(),
                     DWORD timeoutMs = 60000, const std::wstring& currentFolder = std::wstring());
  // The lines the last run appended to log `name` ("KorloGuestHelper" or
  // "KorloUninstall"), without their CR LF, each with the full line prefix.
  std::vector<std::wstring> LogLines(const std::wstring& name = L"KorloGuestHelper") const;
  // The same lines' texts (LogLineText).
  std::vector<std::wstring> LogTexts(const std::wstring& name = L"KorloGuestHelper") const;
  static std::wstring LogPath(const std::wstring& name);

 private:
  CScratchDir m_dir;
  std::map<std::wstring, std::uint64_t> m_logStart;  // log name -> its size before the run
};

// True when `lines` holds `sequence` in that order (not necessarily adjacent).
bool ContainsInOrder(const std::vector<std::wstring>& lines, const std::vector<std::wstring>& sequence);
// True when some line holds `part`.
bool HasLineContaining(const std::vector<std::wstring>& lines, const std::wstring& part);

}  // namespace testing_support
