#include "host/svc_ctx.h"

#include "log/log.h"
#include "logfile/log_folder.h"
#include "plugins/guest_cfg_file.h"
#include "base/exc.h"
#include "util/file.h"
#include "base/msg_ids.h"

#include <boost/lexical_cast.hpp>


namespace {

std::vector<std::wstring>& ProcessArguments() {
  static std::vector<std::wstring> arguments;
  return arguments;
}

}  // namespace

void ParseOptions(const std::vector<std::wstring>& arguments, TOptions& options) {
  options.clear();
  TOptions::iterator current = options.end();
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::wstring& argument = arguments[i];
    if (!argument.empty() && argument[0] == L'-') {
      current = options.insert_or_assign(argument.substr(1), std::wstring()).first;
    } else if (current != options.end()) {
      current->second = argument;
    }
  }
}

std::uint16_t ParseRpcPort(const TOptions& options) {
  const auto found = options.find(L"rpcPort");
  if (found == options.end()) return 0;
  try {
    return boost::lexical_cast<std::uint16_t>(found->second);
  } catch (const boost::bad_lexical_cast&) {
    throw CExc(L"Invalid value of the command line option [%1]: [%2].", L"rpcPort", found->second,
               E_INVALIDARG);
  }
}

void CSvcCtx::SetArguments(int argc, wchar_t** argv) {
  static std::once_flag once;
  std::call_once(once, [argc, argv] {
    for (int i = 0; i < argc && argv[i]; ++i) ProcessArguments().emplace_back(argv[i]);
  });
}

std::shared_ptr<CSvcCtx> CSvcCtx::Instance() {
  // Thread-safe creation on first use; lives until process exit.
  static const std::shared_ptr<CSvcCtx> instance = std::make_shared<CSvcCtx>(ProcessArguments());
  return instance;
}

CSvcCtx::CSvcCtx(const std::vector<std::wstring>& arguments) {
  ParseOptions(arguments, m_options);
  m_persistent = HasOption(L"persistent");
  // The diagnostics run copies the service's live log while the service
  // writes it: its own lines go to a file of their own, never into the one
  // being copied (two processes appending through handles of their own
  // would write over each other's lines).
  InitLogging(HasOption(L"uninstall"), HasOption(L"collectDiagnostics") ? L"KorloDiagnostics" : std::wstring());

  std::wstring commandLine;
  for (const std::wstring& argument : arguments) {
    if (!commandLine.empty()) commandLine += L' ';
    commandLine += argument;
  }
  g_log.Info(L"Command line: %1", commandLine);

  m_desktopVss = HasOption(L"desktopVss");
  m_dbg = HasOption(L"dbg");
  m_injectVss = HasOption(L"injectVss");
  m_flr = HasOption(L"flr");
  m_rpcPort = ParseRpcPort(m_options);

  if (m_flr) {
    m_desktopVssOptions = std::make_shared<CDesktopVssSvcOptions>();
    InstallFlrConfig();
  } else if (m_desktopVss) {
    m_desktopVssOptions = std::make_shared<CDesktopVssSvcOptions>();
    InstallDesktopConfig();
  } else {
    InstallFileConfig();
  }

  g_log.Info(L"PID: %1", UInt64Text(::GetCurrentProcessId()));
  std::shared_ptr<cfg::CGuestCfgFile> config;
  {
    std::lock_guard<std::mutex> hold(m_configLock);
    config = m_config;
  }
  if (config) config->LogSummary();
}

std::wstring CSvcCtx::GetServiceName() const {
  return m_desktopVss ? L"KorloDesktopVssSvc" : L"KorloGuestHelper";
}

std::shared_ptr<cfg::CGuestCfgFile> CSvcCtx::GetConfig() const {
  std::lock_guard<std::mutex> hold(m_configLock);
  if (!m_config) throw CExc(LoadMsg(IDS_CONFIG_NOT_INITIALIZED), E_FAIL);
  return m_config;
}

void CSvcCtx::SetConfig(std::shared_ptr<cfg::CGuestCfgFile> config) {
  std::lock_guard<std::mutex> hold(m_configLock);
  m_config = std::move(config);
}

void CSvcCtx::ResetConfig() {
  std::lock_guard<std::mutex> hold(m_configLock);
  m_config.reset();
}

void CSvcCtx::InstallFileConfig() {
  CLogInfoStep step(g_log, LoadMsg(IDS_LOADING_SERVICE_CONFIG));
  const std::wstring path = CombinePath(GetModuleFolder(), cfg::CGuestCfgFile::kFileName);
  try {
    SetConfig(std::make_shared<cfg::CGuestCfgFile>(path, false, m_persistent));
    step.Ok();
  } catch (const CExc& e) {
    g_log.Error(FormatMsg(LoadMsg(IDS_CANNOT_LOAD_SERVICE_CONFIG), path), e);
  }
}

void CSvcCtx::InstallDesktopConfig() {
  CLogInfoStep step(g_log, L"Initializing configuration for VSS desktop service.");
  try {
    auto config = std::make_shared<cfg::CGuestCfgFile>(std::wstring(), true, m_persistent);
    config->SetServiceName(L"KorloDesktopVssSvc");
    config->AddPlugin(cfg::kVssPluginName);
    cfg::CPortsSettings ports;
    ports.SetStaticPort(m_desktopVssOptions->GetPort());
    config->SetPortsSettings(ports);
    SetConfig(config);
    step.Ok();
  } catch (const CExc& e) {
    g_log.Error(L"Failed to initialize configuration for VSS desktop service.", e);
  }
}

void CSvcCtx::InstallFlrConfig() {
  CLogInfoStep step(g_log, L"Initializing configuration for VSS FLR service.");
  g_log.Info(L"Port: %1", DecText(m_rpcPort));
  try {
    auto config = std::make_shared<cfg::CGuestCfgFile>(std::wstring(), true, m_persistent);
    config->SetServiceName(L"KorloFlrVssSupport");
    config->AddPlugin(cfg::kVssPluginName);
    cfg::CPortsSettings ports;
    if (m_rpcPort != 0) ports.SetStaticPort(m_rpcPort);
    config->SetPortsSettings(ports);
    SetConfig(config);
    step.Ok();
  } catch (const CExc& e) {
    g_log.Error(L"Failed to initialize configuration for VSS FLR service.", e);
  }
}
