// The reference plugin's own log: one UTF-16LE file "<name>.log" in the
// folder the host hands to PluginInitLogging. A plugin does not share the
// host's log; it only keeps its files beside it.
#pragma once

#include "base/win.h"

#include <string>

namespace refPlugin {

class CPluginLog {
 public:
  CPluginLog();
  ~CPluginLog();
  CPluginLog(const CPluginLog&) = delete;
  CPluginLog& operator=(const CPluginLog&) = delete;

  // Creates the folder when missing and opens "<folder>\<name>.log" for
  // appending (a new file starts with a byte-order mark); a file opened
  // before is closed. False, with the last error set, when the file cannot be
  // opened; the log then writes nothing.
  bool Open(const std::wstring& folder, const std::wstring& name);
  std::wstring Path() const;

  // One line "yyyy-mm-dd hh:mm:ss.mmm [thread id] text"; any thread. Lines
  // written before Open are dropped. Never fails its caller and keeps the
  // last error.
  void Write(const std::wstring& text);

 private:
  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  HANDLE m_file = INVALID_HANDLE_VALUE;
  std::wstring m_path;
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
