// Installing and driving a service through the service control manager, for
// the demo tool and the end-to-end tests. Every failure throws CWin32Exc
// naming the operation and the service.
#pragma once

#include "base/handle.h"
#include "base/win.h"

#include <functional>
#include <string>

namespace svcctl {

// Creates an own-process, demand-start service running `commandLine` (the
// program path quoted by the caller when it holds blanks).
void Create(const std::wstring& name, const std::wstring& commandLine);
// StartServiceW; returns once the system has accepted the request.
void Start(const std::wstring& name);
// Sends a control code (SERVICE_CONTROL_STOP, ...); returns the status the
// service control manager answered with.
SERVICE_STATUS Control(const std::wstring& name, DWORD control);
// Marks the service for deletion (it goes once it has stopped and every
// handle to it is closed). A service that does not exist is no failure.
void Delete(const std::wstring& name);
// The current status; dwCurrentState 0 when the service does not exist.
SERVICE_STATUS Query(const std::wstring& name);
// Polls every pollMs until the state is reached or timeoutMs has passed;
// `seen` (when set) receives every status that differs from the one before.
// Returns false on timeout.
bool WaitForState(const std::wstring& name, DWORD state, DWORD timeoutMs, DWORD pollMs = 50,
                  const std::function<void(const SERVICE_STATUS&)>& seen = nullptr);
// The process the service runs in; 0 when it runs in none.
DWORD ProcessId(const std::wstring& name);

}  // namespace svcctl
