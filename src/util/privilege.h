// Enabling a named privilege in the token of the current process.
#pragma once

#include <string>

// Enables privilege `name` (such as "SeShutdownPrivilege") in the process
// token. It stays enabled; nothing disables it again. Throws CWin32Exc when
// the token cannot be opened, the name is unknown or the privilege cannot be
// enabled, a token that lacks the privilege included (the system's
// ERROR_NOT_ALL_ASSIGNED).
void EnablePrivilege(const std::wstring& name);
