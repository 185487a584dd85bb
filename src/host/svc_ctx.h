// The process-wide service context: the parsed command line, the run-mode
// flags and the active agent configuration.
#pragma once

#include "base/win.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace cfg {
class CGuestCfgFile;
}  // namespace cfg

// Option name -> value text (empty for a switch).
using TOptions = std::map<std::wstring, std::wstring>;

// Arguments from index 1: "-name" starts an option (entered with an empty
// value); each following argument that does not begin with '-' becomes its
// value, the last one winning. Arguments before any option are ignored.
void ParseOptions(const std::vector<std::wstring>& arguments, TOptions& options);

// The "rpcPort" value as a port number; 0 when the option is absent. Throws
// CExc (E_INVALIDARG) naming the option and its value when the whole text is
// not an unsigned 16-bit number.
std::uint16_t ParseRpcPort(const TOptions& options);

// Settings of the desktop VSS and FLR service modes.
class CDesktopVssSvcOptions {
 public:
  static constexpr std::uint16_t kDefaultPort = 9821;
  std::uint16_t GetPort() const { return m_port; }

 private:
  std::uint16_t m_port = kDefaultPort;
};

class CSvcCtx {
 public:
  // Hands over main's arguments exactly as received, before the first
  // Instance(). Later calls change nothing.
  static void SetArguments(int argc, wchar_t** argv);
  // The singleton, created on first use from the arguments given to
  // SetArguments. The creation runs the context set-up: options, log,
  // configuration.
  static std::shared_ptr<CSvcCtx> Instance();

  // Runs the context set-up for the given arguments (index 0: program path).
  explicit CSvcCtx(const std::vector<std::wstring>& arguments);
  CSvcCtx(const CSvcCtx&) = delete;
  CSvcCtx& operator=(const CSvcCtx&) = delete;

  const TOptions& GetOptions() const { return m_options; }
  bool HasOption(const std::wstring& name) const { return m_options.count(name) != 0; }
  bool IsDesktopVss() const { return m_desktopVss; }
  bool IsDbg() const { return m_dbg; }
  bool IsInjectVss() const { return m_injectVss; }
  bool IsFlr() const { return m_flr; }
  bool IsPersistent() const { return m_persistent; }
  std::uint16_t GetRpcPort() const { return m_rpcPort; }
  // "KorloDesktopVssSvc" in the desktop VSS mode, "KorloGuestHelper" otherwise.
  std::wstring GetServiceName() const;
  std::shared_ptr<CDesktopVssSvcOptions> GetDesktopVssOptions() const { return m_desktopVssOptions; }

  // The configuration holder. Get throws CExc (text 164) when none is installed.
  std::shared_ptr<cfg::CGuestCfgFile> GetConfig() const;
  void SetConfig(std::shared_ptr<cfg::CGuestCfgFile> config);
  void ResetConfig();

 private:
  void InstallFileConfig();
  void InstallDesktopConfig();
  void InstallFlrConfig();

  TOptions m_options;
  bool m_desktopVss = false;
  bool m_dbg = false;
  bool m_injectVss = false;
  bool m_flr = false;
  bool m_persistent = false;
  std::uint16_t m_rpcPort = 0;
  mutable std::mutex m_configLock;
  std::shared_ptr<cfg::CGuestCfgFile> m_config;
  std::shared_ptr<CDesktopVssSvcOptions> m_desktopVssOptions;
};
