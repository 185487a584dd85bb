// Where the service's log lives and how it starts: the log folder under the
// all-users application-data folder, the log names, the clean-up of old
// day-stamped logs, the installation of the rotating writer into g_log and
// the header that opens every fresh log file.
#pragma once

#include "base/win.h"

#include <string>

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

// The all-users application-data folder joined with "Korlo\Backup". Throws
// CComExc when the shell cannot name it. Does not create the folder.
std::wstring GetLogFolder();

// "KorloUninstall" for the uninstall run; otherwise the executable's file
// name without its extension.
std::wstring GetDefaultLogName(bool uninstall);

// The stem of a plugin's file name: the part after the last "\" or "/" (and
// after a drive's ":"), without its last extension. A leading dot does not
// start an extension; "." and ".." stay whole.
std::wstring GetPluginLogName(const std::wstring& pluginPath);

// Opens the process log: makes the log folder when missing, removes old
// day-stamped logs, installs the rotating writer (thread column on, header
// "Version") into g_log at level 1, and writes the opening lines (a line of
// 96 "=", the banner, the user). name empty: GetDefaultLogName(uninstall).
// Never throws: without a folder the process runs without a log.
void InitLogging(bool uninstall, const std::wstring& name);

// Deletes folder\name_XXXXXXXX.log files (exactly eight characters between
// "_" and ".log") created more than 30 whole days ago. Files that cannot be
// opened or dated, or fail to delete, are left; nothing is reported.
void RemoveOldDailyLogs(const std::wstring& folder, const std::wstring& name);

// Logs "User: <name>" at INFO, the name in the DNS-domain form or, when the
// system has none, in the SAM-compatible form.
void LogCurrentUser();
