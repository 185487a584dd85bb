// What a diagnostics bundle holds, and its summary.txt.
#pragma once

#include "base/win.h"

#include <cstdint>
#include <string>
#include <vector>

namespace diag {

struct SRequest;

enum class EPartKind { kConfig, kLiveLog, kCompressedLog, kReport, kMinidump };

// One file found for the bundle.
struct SPart {
  std::wstring path;  // where it was found
  std::wstring name;  // its name in the cabinet
  EPartKind kind = EPartKind::kLiveLog;
  std::uint64_t size = 0;  // when it was listed
  FILETIME time = {};      // last written, when it was listed
  std::uint64_t limit = 0;  // bytes it may take in the bundle
  bool chosen = false;      // not ruled out by the minidump or file count
  bool included = false;    // in the cabinet
  std::uint64_t stored = 0;  // bytes in the cabinet
  std::wstring note;         // what became of it
};

struct SSummaryInput {
  const SRequest* request = nullptr;
  std::wstring cabinetPath;
  FILETIME made = {};
  std::wstring logFolder;
  std::wstring logFolderError;  // when the log folder has no path
  std::wstring configPath;      // the agent configuration file
  std::vector<SPart> parts;
};

// summary.txt as UTF-8 with CR LF line ends, at most maxBytes long (the file
// list is cut first). Asks the system, the service control manager, the
// registry and the firewall; a question that fails is answered with its
// error in the text. Never throws CExc.
std::string BuildSummary(const SSummaryInput& input, std::size_t maxBytes);

// The text with its line breaks turned into blanks.
std::wstring OneLine(std::wstring text);

// "yyyy-mm-dd hh:mm:ss" of a UTC time.
std::wstring UtcText(const FILETIME& time);

}  // namespace diag
