// The reference plugin's own log: one UTF-16LE file "<name>.log" in the
// folder the host hands to PluginInitLogging. A plugin does not share the
// host's log; it only keeps its files beside it.
#pragma once

#include "base/win.h"

#include <cstdint>
#include <map>
#include <string>

namespace refPlugin {

// Bounded: a network caller must not be able to fill the disk through it.
// Lines that any caller can cause go through WriteRepeatable, which writes
// the first line of a kind in each window of kRepeatWindowMs and only counts
// the others; and no file grows beyond its limit: a line that would take it
// past the limit first renames it to "<name>.1.log" (replacing the one
// before) and starts a new one. So the plugin's files never take more than
// twice the limit.
class CPluginLog {
 public:
  static constexpr std::uint64_t kMaxFileBytes = 1024 * 1024;
  static constexpr ULONGLONG kRepeatWindowMs = 60 * 1000;

  CPluginLog();
  ~CPluginLog();
  CPluginLog(const CPluginLog&) = delete;
  CPluginLog& operator=(const CPluginLog&) = delete;

  // Creates the folder when missing and opens "<folder>\<name>.log" for
  // appending (a new file starts with a byte-order mark); a file opened
  // before is closed. False, with the last error set, when the file cannot be
  // opened; the log then writes nothing. `maxFileBytes` is the limit of one
  // file.
  bool Open(const std::wstring& folder, const std::wstring& name, std::uint64_t maxFileBytes = kMaxFileBytes);
  std::wstring Path() const;

  // One line "yyyy-mm-dd hh:mm:ss.mmm [thread id] text"; any thread. Lines
  // written before Open are dropped. Never fails its caller and keeps the
  // last error.
  void Write(const std::wstring& text);
  // As Write for the first line of `kind` in a window; the later ones of the
  // window are counted, and the count is written as "[<kind>] <n> more since
  // <time of the first>." once the window has passed, at the next line of
  // that kind or at Flush.
  void WriteRepeatable(const std::wstring& kind, const std::wstring& text);
  // Writes the counts still pending.
  void Flush();

 private:
  struct SRepeat {
    ULONGLONG windowStart = 0;
    unsigned long long suppressed = 0;
    std::wstring since;
  };

  static std::wstring Stamp();
  void WriteLocked(const std::wstring& line);
  void WriteSuppressedLocked(const std::wstring& kind, SRepeat& repeat);
  bool OpenFileLocked();

  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  HANDLE m_file = INVALID_HANDLE_VALUE;
  std::wstring m_path;
  std::uint64_t m_size = 0;
  std::uint64_t m_maxFileBytes = kMaxFileBytes;
  std::map<std::wstring, SRepeat> m_repeats;
};

// The process-wide log of the plugin.
CPluginLog& Log();

// "<text> Error: <code> (<system text>)." for a Win32 or RPC status.
std::wstring WithError(const std::wstring& text, DWORD code);

// Runs the body of an export or of an RPC routine. Nothing may leave either:
// the host cannot catch this module's exceptions, nor can the RPC run-time.
// An exception is logged as "<name>: unexpected failure." and the result is
// `onFailure`.
template <class R, class F>
R RunGuarded(const wchar_t* name, R onFailure, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    try {
      Log().Write(std::wstring(name) + L": unexpected failure.");
    } catch (...) {
    }
    return onFailure;
  }
}

template <class F>
void RunGuarded(const wchar_t* name, F&& body) noexcept {
  RunGuarded(name, 0, [&] {
    body();
    return 0;
  });
}

}  // namespace refPlugin
