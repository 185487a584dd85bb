// StartService -> RUNNING for the helper hosting the reference plugin against
// a do-nothing service, and what the difference is made of. The helper, the
// do-nothing service and a do-nothing service that imports the helper's
// system libraries are installed as real services and started and stopped
// round by round, their order turning from round to round, so that load from
// other processes falls on all three alike; each round gives one ratio.
//
// Every start is cut at the times the system and the helper's log tell:
//   StartServiceW -> the process's creation time: the service manager and
//     the creation of the process;
//   -> the first line of the helper's log appears: loading the program and
//     its libraries and the start of the run-time, up to the log;
//   -> RUNNING: the body's own steps, each timed to the log line ending it.
// The do-nothing services have no log: their second part runs to RUNNING.
// The status and the log's size are polled every 2 ms.
//
//   bench_service_start.exe <helper folder> <bare service exe> <bare service exe with the helper's imports> [rounds]
// The helper folder holds KorloGuestHelper.exe, KorloVssSupport.dll and
// KorloAgentConfig.xml.
#include "bench_util.h"
#include "svc_control.h"

#include "base/exc.h"
#include "base/msg.h"
#include "logfile/log_folder.h"

#include <cstdio>
#include <map>
#include <utility>

namespace {

constexpr DWORD kLimitMs = 60000;
constexpr DWORD kPollMs = 2;

// Seconds on the system clock, the clock of process creation times: precise
// where the system has the precise form (Windows 8 and Wine).
double SystemSeconds() {
  using PreciseTime = void(WINAPI*)(FILETIME*);
  static const auto precise = reinterpret_cast<PreciseTime>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
  FILETIME now;
  if (precise != nullptr) {
    precise(&now);
  } else {
    ::GetSystemTimeAsFileTime(&now);
  }
  return static_cast<double>(FileTimeToUInt64(now)) / 1e7;
}

// The text of a log line after its date, time, thread and level columns and
// its indentation.
std::wstring LineText(const std::wstring& line) {
  size_t at = line.find(L"  ");  // after the time
  if (at == std::wstring::npos) return line;
  at = line.find_first_not_of(L' ', at);
  at = line.find_first_not_of(L"0123456789", at);  // after the thread id
  if (at == std::wstring::npos || at + 10 > line.size()) return line;
  at = line.find_first_not_of(L' ', at + 10);  // the blanks, the tag, the blanks, the indentation
  return at == std::wstring::npos ? std::wstring() : line.substr(at);
}

// Watches the helper's log grow during one start.
class CLogWatch {
 public:
  explicit CLogWatch(std::wstring path) : m_path(std::move(path)) {}

  // Lines from here on belong to the start that begins now.
  void Begin() {
    m_start = Size();
    m_grown.clear();
  }
  void Poll(double now) {
    const std::uint64_t size = Size();
    if (size > (m_grown.empty() ? m_start : m_grown.back().first)) m_grown.emplace_back(size, now);
  }
  // The lines written since Begin, each with the time its end was first seen.
  std::vector<std::pair<std::wstring, double>> Lines() const {
    std::vector<std::pair<std::wstring, double>> lines;
    if (m_grown.empty()) return lines;
    CFileHandle file(::CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(m_start);
    if (!file || !::SetFilePointerEx(file.Get(), at, nullptr, FILE_BEGIN)) return lines;
    std::wstring text(static_cast<size_t>(m_grown.back().first - m_start) / sizeof(wchar_t), L'\0');
    DWORD read = 0;
    if (!::ReadFile(file.Get(), &text[0], static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read, nullptr)) {
      return lines;
    }
    text.resize(read / sizeof(wchar_t));
    size_t begin = 0;
    auto grown = m_grown.begin();
    for (size_t end; (end = text.find(L"\r\n", begin)) != std::wstring::npos; begin = end + 2) {
      const std::uint64_t endOffset = m_start + (end + 2) * sizeof(wchar_t);
      while (grown != m_grown.end() && grown->first < endOffset) ++grown;
      if (grown == m_grown.end()) break;
      lines.emplace_back(LineText(text.substr(begin, end - begin)), grown->second);
    }
    return lines;
  }

 private:
  std::uint64_t Size() const {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(m_path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }

  const std::wstring m_path;
  std::uint64_t m_start = 0;
  std::vector<std::pair<std::uint64_t, double>> m_grown;  // size, time first seen
};

// One start, in seconds from StartServiceW.
struct SStart {
  double running = 0;     // RUNNING seen
  double created = 0;     // the process's creation time
  double firstLine = -1;  // the first log line seen; -1: no log watched or none written
  std::vector<std::pair<std::wstring, double>> steps;  // log line, seconds since the line before it
};

// Starts the service, waits for RUNNING, stops it again and waits until its
// process has ended. log: the log to watch, or null.
SStart StartToRunning(const std::wstring& name, CLogWatch* log) {
  const CScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const CScHandle service(::OpenServiceW(manager.Get(), name.c_str(), SERVICE_QUERY_STATUS));
  if (!service) throw CWin32Exc(FormatMsg(L"Cannot open service [%1].", name), kUseLastError);
  if (log != nullptr) log->Begin();
  SStart result;
  const double start = SystemSeconds();
  svcctl::Start(name);
  SERVICE_STATUS_PROCESS status = {};
  for (;;) {
    DWORD size = 0;
    if (!::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof(status), &size)) {
      throw CWin32Exc(FormatMsg(L"Cannot query service [%1].", name), kUseLastError);
    }
    const double now = SystemSeconds();
    if (log != nullptr) log->Poll(now);
    if (status.dwCurrentState == SERVICE_RUNNING) {
      result.running = now - start;
      break;
    }
    if (status.dwCurrentState == SERVICE_STOPPED || now - start > kLimitMs / 1000.0) {
      throw CExc(L"No RUNNING for [%1].", name, E_FAIL);
    }
    ::Sleep(kPollMs);
  }
  CKernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, status.dwProcessId));
  FILETIME created, exited, kernel, user;
  if (!process || !::GetProcessTimes(process.Get(), &created, &exited, &kernel, &user)) {
    throw CWin32Exc(FormatMsg(L"Cannot read the process times of [%1].", name), kUseLastError);
  }
  result.created = static_cast<double>(FileTimeToUInt64(created)) / 1e7 - start;
  if (log != nullptr) {
    double before = -1;
    for (const auto& line : log->Lines()) {
      const double at = line.second - start;
      if (at > result.running) break;
      if (before < 0) {
        result.firstLine = at;
      } else {
        result.steps.emplace_back(line.first, at - before);
      }
      before = at;
    }
  }
  svcctl::Control(name, SERVICE_CONTROL_STOP);
  if (!svcctl::WaitForState(name, SERVICE_STOPPED, kLimitMs, 10)) throw CExc(L"No STOPPED for [%1].", name, E_FAIL);
  ::WaitForSingleObject(process.Get(), kLimitMs);
  return result;
}

double Quantile(std::vector<double> values, double q) {
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(q * static_cast<double>(values.size() - 1) + 0.5)];
}

struct SService {
  std::wstring name;
  std::wstring commandLine;
  CLogWatch* log;
  std::vector<SStart> starts;

  std::vector<double> Parts(double SStart::*to, double SStart::*from) const {
    std::vector<double> values;
    for (const SStart& s : starts) values.push_back(s.*to - (from != nullptr ? s.*from : 0.0));
    return values;
  }
};

double MedianMs(const std::vector<double>& values) { return bench::Median(values) * 1000; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    std::fputs("usage: bench_service_start <helper folder> <bare service exe> <bare service with imports exe> "
               "[rounds]\n",
               stderr);
    return 2;
  }
  const int rounds = argc > 4 ? std::max(2, _wtoi(argv[4])) : 21;
  CLogWatch helperLog(GetLogFolder() + L"\\KorloGuestHelper.log");
  SService services[] = {
      {L"KorloBenchHelper", L"\"" + std::wstring(argv[1]) + L"\\KorloGuestHelper.exe\"", &helperLog, {}},
      {L"KorloBenchBare", L"\"" + std::wstring(argv[2]) + L"\"", nullptr, {}},
      {L"KorloBenchBareImports", L"\"" + std::wstring(argv[3]) + L"\"", nullptr, {}},
  };
  SService& helper = services[0];
  SService& bare = services[1];
  SService& imports = services[2];
  int result = 0;
  try {
    for (SService& service : services) {
      svcctl::Delete(service.name);
      svcctl::Create(service.name, service.commandLine);
    }
    // One start of each first, not counted: the first start of a program
    // reads it from disk.
    for (SService& service : services) StartToRunning(service.name, service.log);
    for (int round = 0; round < rounds; ++round) {
      for (int i = 0; i < 3; ++i) {
        SService& service = services[(round + i) % 3];
        service.starts.push_back(StartToRunning(service.name, service.log));
      }
    }

    std::vector<double> ratios;
    for (int round = 0; round < rounds; ++round) {
      ratios.push_back(helper.starts[round].running / bare.starts[round].running);
    }
    const std::vector<double> firstHalf(ratios.begin(), ratios.begin() + rounds / 2);
    const std::vector<double> secondHalf(ratios.begin() + rounds / 2, ratios.end());
    std::printf("    StartService -> RUNNING, %d rounds, the three services in turns (median, quartiles)\n", rounds);
    const auto row = [](const char* label, const std::vector<double>& seconds) {
      std::printf("      %-42s %7.1f ms  (%.1f .. %.1f)\n", label, MedianMs(seconds), Quantile(seconds, 0.25) * 1000,
                  Quantile(seconds, 0.75) * 1000);
    };
    row("helper with the reference plugin", helper.Parts(&SStart::running, nullptr));
    row("do-nothing service", bare.Parts(&SStart::running, nullptr));
    row("do-nothing service, the helper's imports", imports.Parts(&SStart::running, nullptr));
    std::printf("      helper / do-nothing                        %7.2f     (target <= 1.5)\n", bench::Median(ratios));
    std::printf("        the rounds' ratios: quartiles %.2f .. %.2f, all %.2f .. %.2f; median of the first half "
                "%.2f, of the second %.2f\n",
                Quantile(ratios, 0.25), Quantile(ratios, 0.75), Quantile(ratios, 0), Quantile(ratios, 1),
                bench::Median(firstHalf), bench::Median(secondHalf));

    std::printf("    What a start is made of (medians, ms)                 helper  do-nothing  with imports\n");
    const auto part = [&](const char* label, double SStart::*to, double SStart::*from, bool helperOnly) {
      std::printf("      %-50s %7.1f", label, MedianMs(helper.Parts(to, from)));
      if (helperOnly) {
        std::printf("\n");
      } else {
        std::printf("  %10.1f  %12.1f\n", MedianMs(bare.Parts(to, from)), MedianMs(imports.Parts(to, from)));
      }
    };
    part("service manager, process creation", &SStart::created, nullptr, false);
    part("process creation to RUNNING", &SStart::running, &SStart::created, false);
    bool logged = true;
    for (const SStart& s : helper.starts) logged = logged && s.firstLine >= 0;
    if (!logged) {
      std::printf("      (the helper's log showed no lines before RUNNING: no split of its own part)\n");
    } else {
      part("  libraries, run-time, up to the first log line", &SStart::firstLine, &SStart::created, true);
      part("  the body's own steps, first log line to RUNNING", &SStart::running, &SStart::firstLine, true);
      // The steps of the body: the time before each log line appears, in log
      // order, the lines of at least half the rounds; the small ones summed.
      std::vector<std::wstring> order;
      std::map<std::wstring, std::vector<double>> steps;
      for (const SStart& s : helper.starts) {
        for (const auto& step : s.steps) {
          if (steps.find(step.first) == steps.end()) order.push_back(step.first);
          steps[step.first].push_back(step.second);
        }
      }
      double small = 0;
      for (const std::wstring& text : order) {
        std::vector<double>& values = steps[text];
        if (values.size() * 2 < static_cast<size_t>(rounds)) continue;
        values.resize(static_cast<size_t>(rounds), 0.0);  // a line missing in a round took no time there
        const double ms = MedianMs(values);
        if (ms < 5) {
          small += ms;
          continue;
        }
        std::printf("          %7.1f  until \"%s\"\n", ms, ToAnsi(text.substr(0, 60)).c_str());
      }
      std::printf("          %7.1f  the other lines' steps, summed (each under 5 ms)\n", small);
    }
  } catch (const CExc& e) {
    std::fputs(ToAnsi(e.GetFullText() + L"\n").c_str(), stderr);
    result = 1;
  }
  for (const SService& service : services) {
    try {
      svcctl::Delete(service.name);
    } catch (const CExc&) {
    }
  }
  return result;
}
