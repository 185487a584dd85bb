// Where the service's log lives and how it starts: the log folder under the
// all-users application-data folder, the log names, the clean-up of old
// day-stamped logs, the installation of the rotating writer into g_log and
// the header that opens every fresh log file.
#pragma once

#include "base/win.h"

#include <string>
#include <vector>

// The header block a rotating writer writes right after it has emptied its
// file: a line of 96 "=", "Starting new log" and, when the title is not
// empty, the module banner. Written through g_log, so it is called with the
// log lock and the writer's lock held (both recursive).
class CLogHeaderWriter {
 public:
  // module null: the executable.
  CLogHeaderWriter(const std::wstring& title, HMODULE module) : m_title(title), m_module(module) {}
  void WriteHeader();

 private:
  const std::wstring m_title;
  const HMODULE m_module;
};

// The folder the process logs into. Once InitLogging has checked the log
// folder, the one it settled on (see SettleLogFolder); before that, or when
// it found none, the all-users application-data folder joined with
// "Korlo\Backup". Throws CComExc when the shell cannot name that folder.
// Does not create anything. Any thread.
std::wstring GetLogFolder();

// The all-users application-data folder joined with "Korlo\Backup", whatever
// InitLogging found there. Throws CComExc as GetLogFolder does.
std::wstring GetStandardLogFolder();

// Makes the log folder fit for what SYSTEM writes and returns it. "Korlo" in
// the all-users application-data folder, then "Backup" inside it, are each
// created with the administrators-only access list when missing. One that
// exists and is safe (no link, owned by SYSTEM, Administrators or this
// process's account, writable by no one else) is left exactly as it is. One
// that is not is never written into, renamed, moved or emptied (each of
// these can reach what a link points at): a folder beside it named
// "<name>.unsafe-<link|owner|access|file>" takes its place, created with the
// protected list (or reused when it is one of ours from an earlier start,
// safe), and when that name is taken by something unsafe too,
// "<name>.unsafe-<why>-<random>". Each replacement adds one warning text to
// `findings`. Throws CExc when no folder can be made; the caller then has no
// log folder.
std::wstring SettleLogFolder(std::vector<std::wstring>& findings);

// "KorloUninstall" for the uninstall run; otherwise the executable's file
// name without its extension.
std::wstring GetDefaultLogName(bool uninstall);

// The stem of a plugin's file name: the part after the last "\" or "/" (and
// after a drive's ":"), without its last extension. A leading dot does not
// start an extension; "." and ".." stay whole.
std::wstring GetPluginLogName(const std::wstring& pluginPath);

// Opens the process log: settles the log folder (SettleLogFolder; GetLogFolder
// names the result from then on), removes old day-stamped logs, installs the rotating writer (thread column on, header
// "Version") into g_log at level 1, and writes the opening lines (a line of
// 96 "=", the banner, the user, then a warning for each unsafe folder it
// replaced). name empty: GetDefaultLogName(uninstall). Never throws: without
// a folder it can trust the process runs without a log.
void InitLogging(bool uninstall, const std::wstring& name);

// Deletes folder\name_XXXXXXXX.log files (exactly eight characters between
// "_" and ".log") created more than 30 whole days ago. Files that cannot be
// opened or dated, or fail to delete, are left; nothing is reported.
void RemoveOldDailyLogs(const std::wstring& folder, const std::wstring& name);

// Logs "User: <name>" at INFO, the name in the DNS-domain form or, when the
// system has none, in the SAM-compatible form.
void LogCurrentUser();
