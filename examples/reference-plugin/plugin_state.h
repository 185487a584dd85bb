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

// The largest request the RPC interface takes, in bytes.
constexpr unsigned kMaxRequestBytes = 1024;
// Capacity of a file lock name, terminating null included.
constexpr size_t kLockNameChars = 65;

// True when the token may ask for the removal: it holds the local
// Administrators group and is neither an anonymous nor a guest logon (nor in
// the Guests group). `caller` gets the reason of a refusal appended.
bool TokenMayRemove(HANDLE token, std::wstring& caller);

// True for an empty name and for a plain file name stem: fewer than
// kLockNameChars characters, only letters, digits, "_", "-", ".", "{" and "}"
// (a braced GUID passes), not starting with "-" or ".".
bool IsPlainLockName(const char* name);

// Registers / unregisters the RPC interface with the process's RPC run-time.
// Unregistering waits for the calls in progress and does nothing when the
// interface is not registered.
DWORD RegisterRpcInterface();
void UnregisterRpcInterface();

}  // namespace refPlugin
