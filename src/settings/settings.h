// Tuning values read from the registry, under HKEY_LOCAL_MACHINE
// "SOFTWARE\Korlo\Korlo Tandem". Each reader opens the key anew, reads one
// value, closes the key and returns the value or its default. No reader
// throws a read failure: every one (missing key, missing value, wrong type,
// unreadable data) ends in the default.
//
// Two kinds of reader:
// - quiet readers log nothing;
// - the flag reader ReadRegistryFlag logs a missing value at INFO and any
//   other failure as a plain line with the failure's text.
//
// A DWORD value must have type REG_DWORD and 4 bytes; a flag is a DWORD whose
// non-zero value means true. A string value must have type REG_SZ or
// REG_EXPAND_SZ, an even byte size and a terminating NUL; it is returned as
// stored (REG_EXPAND_SZ is not expanded). Any other type is a read failure
// with ERROR_INVALID_DATA.
//
// The key is opened with KEY_READ | KEY_WRITE and without a registry view
// flag: a 32-bit process reads the 32-bit view.
#pragma once

#include "base/win.h"

#include <cstddef>
#include <cstdint>
#include <string>

constexpr wchar_t kSettingsKeyPath[] = L"SOFTWARE\\Korlo\\Korlo Tandem";
constexpr REGSAM kSettingsKeyAccess = KEY_READ | KEY_WRITE;  // 0x2001f

constexpr std::uint32_t kDefaultAgentMaxLogSize = 20971520;  // 20 MiB, also the floor
constexpr std::uint32_t kDefaultAgentMaxLogCount = 50;
// Room for the minidump mode text, its terminating NUL included.
constexpr std::size_t kMiniDumpModeTextChars = 32;

// Quiet readers.

// "OutOfProcDumpGen" (flag): dumps are written by the out-of-process
// recorder. Default false.
bool GetOutOfProcDumpGen();
// "MiniDumpModeMask" (DWORD): minidump type bits. Default 0.
std::uint32_t GetMiniDumpModeMask();
// "MiniDumpMode" (string, at most kMiniDumpModeTextChars with its NUL): the
// minidump type by name ("Normal", "Full"). Default empty.
std::wstring GetMiniDumpModeText();
// "AgentMaxLogSize" (DWORD, bytes): the size above which the log is
// compressed. A stored value not above kDefaultAgentMaxLogSize gives
// kDefaultAgentMaxLogSize.
std::uint32_t GetAgentMaxLogSize();
// "AgentMaxLogCount" (DWORD): how many compressed logs are kept. Any stored
// value is taken, 0 included. Default kDefaultAgentMaxLogCount.
std::uint32_t GetAgentMaxLogCount();

// Logging flag readers.

// "GuestRuntimeUseStaticPort" (flag): RPC listens on the static port.
// Default false.
bool GetGuestRuntimeUseStaticPort();
// "KerberosAutomaticSPNRegistration" (flag): SPNs are written to the computer
// account. Default true.
bool GetKerberosAutomaticSPNRegistration();

// Reads flag `name`. A missing value is logged at INFO ("... registry value is
// not set. Using default value: ..."); any other failure is logged as a plain
// line with the failure's text ("Cannot read ... from registry. Using default
// value ... ..."). Either way the default is returned.
bool ReadRegistryFlag(const std::wstring& name, bool defaultValue);
