// The operator's diagnostics bundle: one cabinet file with the logs, the
// crash dumps and reports, the agent configuration and a summary of the
// installation, gathered while the service runs (-collectDiagnostics).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace cfg {
class CGuestCfgFile;
}  // namespace cfg

namespace diag {

// Exit codes of the run.
constexpr int kExitComplete = 0;        // the bundle is written (unreadable parts are named in its summary)
constexpr int kExitUsage = 2;           // no target path on the command line
constexpr int kExitTargetRefused = 3;   // the target exists, goes through a link, or its folder is missing
constexpr int kExitWriteFailed = 4;     // the cabinet could not be written; nothing is left of it

// The files in a bundle (the summary included) add up to at most this many
// bytes, and the cabinet itself is never larger. Files beyond it are listed
// in the summary, not included.
constexpr std::uint64_t kMaxBundleBytes = 128ull * 1024 * 1024;
// Minidumps included at most, the newest first.
constexpr unsigned kMaxMinidumps = 5;

struct SRequest {
  std::wstring target;       // the cabinet's path as given (relative to the current folder)
  std::wstring commandLine;  // for the summary
  std::wstring serviceName;  // the name this program serves under
  std::shared_ptr<cfg::CGuestCfgFile> config;  // the installed agent configuration; may be null
};

// Writes the bundle, reporting each part on the console and in the log.
// Never throws: the result is one of the exit codes above, and the reason of
// a failure is on the console.
int CollectDiagnostics(const SRequest& request);

}  // namespace diag
