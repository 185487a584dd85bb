// The reference plugin's state, shared by its exports (plugin.cpp) and its
// RPC interface (rpc_server.cpp).
#pragma once

#include "base/win.h"

#include <string>

namespace refPlugin {

struct SStatus {
  std::wstring pluginName;  // this DLL's file name without extension
  std::wstring logName;     // from PluginInitLogging; empty before
  DWORD processId = 0;      // the host's
  DWORD state = 0;          // RP_STATE_* bits of the RPC interface
};

SStatus CurrentStatus();

enum class EDecision { kNone, kAccept, kCancel };

// Hands a removal request to the host through the uninstall callback that
// PluginMain received; `started` is the callback's answer. Requests run one at
// a time. ERROR_NOT_READY when PluginMain is not running.
DWORD RequestRemoval(bool rebootRequired, const char* fileLockName, EDecision decision, bool& started);

// Registers / unregisters the RPC interface with the process's RPC run-time.
// Unregistering waits for the calls in progress and does nothing when the
// interface is not registered.
DWORD RegisterRpcInterface();
void UnregisterRpcInterface();

}  // namespace refPlugin
