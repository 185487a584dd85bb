// The cost of a log line: g_log.Info of a typical 80-character line through
// the rotating writer with the thread column, against a bare WriteFile loop
// of the same bytes; and 8 threads logging together against one thread.
//
//   bench_log_line <folder>     (the folder must exist; files are replaced)
#include "bench_util.h"
#include "logfile/file_writer.h"
#include "log/log.h"
#include "logfile/log_folder.h"
#include "base/handle.h"

#include <shellapi.h>

#include <algorithm>
#include <memory>
#include <thread>

namespace {

// Both runs stay below the 20 MiB limit, so no rotation is timed here.
constexpr int kLines = 20000;
constexpr int kThreadLines = 80000;
constexpr int kThreads = 8;
constexpr int kThreadRounds = 15;
constexpr int kRounds = 41;  // the best rounds of a loaded machine need many

double BareWriteFileSeconds(const std::wstring& path, const std::wstring& line) {
  bench::DeleteIfPresent(path);
  CFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    std::printf("cannot create %ls: %lu\n", path.c_str(), ::GetLastError());
    std::exit(1);
  }
  const auto bytes = static_cast<DWORD>(line.size() * sizeof(wchar_t));
  const double start = bench::NowSeconds();
  for (int i = 0; i < kLines; ++i) {
    DWORD written = 0;
    ::WriteFile(file.Get(), line.data(), bytes, &written, nullptr);
  }
  return bench::NowSeconds() - start;
}

// Seconds for `threads` threads to log `lines` lines in all through a fresh
// rotating writer installed in g_log.
double LoggedSeconds(const std::wstring& folder, const std::wstring& name, int threads, int lines) {
  bench::DeleteIfPresent(folder + L"\\" + name + L".log");
  g_log.SetWriter(std::make_shared<CFileLogWriterWithRotation>(
      folder, name, true, std::make_shared<CLogHeaderWriter>(L"Version", nullptr)));
  g_log.SetLevel(kLogMessage);
  g_log.Info(L"open");  // the first line opens the file; not timed

  const std::wstring text = bench::TypicalText();
  CKernelHandle go(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      ::WaitForSingleObject(go.Get(), INFINITE);
      for (int i = 0; i < lines / threads; ++i) g_log.Info(text);
    });
  }
  ::Sleep(50);  // let every worker reach the start line
  const double start = bench::NowSeconds();
  ::SetEvent(go.Get());
  for (std::thread& worker : workers) worker.join();
  const double seconds = bench::NowSeconds() - start;
  g_log.SetWriter(nullptr);
  return seconds;
}

// Builds every line as the file writer does and writes it nowhere: what a
// line costs the log itself, apart from the file.
class CFormatOnlyWriter : public CLogWriter {
 public:
  void Reopen() override {}
  void Write(std::int32_t level, CLog& /*log*/, std::int32_t alignment, const std::wstring& text) override {
    m_line.clear();
    AppendLogLine(m_line, level, alignment, text, true);
  }

 private:
  std::wstring m_line;
};

// Seconds for kLines lines through g_log to a CFormatOnlyWriter (throughLog)
// or for kLines calls of AppendLogLine alone.
double UnwrittenSeconds(bool throughLog) {
  const std::wstring text = bench::TypicalText();
  g_log.SetWriter(std::make_shared<CFormatOnlyWriter>());
  g_log.SetLevel(kLogMessage);
  std::wstring line;
  const double start = bench::NowSeconds();
  for (int i = 0; i < kLines; ++i) {
    if (throughLog) {
      g_log.Info(text);
    } else {
      line.clear();
      AppendLogLine(line, kLogInfo, 0, text, true);
    }
  }
  const double seconds = bench::NowSeconds() - start;
  g_log.SetWriter(nullptr);
  return seconds;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  const std::wstring folder = bench::Argument(argc, argv, 1, L".");

  std::wstring line;
  AppendLogLine(line, kLogInfo, 0, bench::TypicalText(), true);

  // Bare and logged runs alternate, and each round's pair gives one ratio,
  // so that load from other processes moves both sides of a ratio alike.
  std::vector<double> bare, logged, ratios, unwritten, formatted;
  for (int round = 0; round < kRounds; ++round) {
    bare.push_back(BareWriteFileSeconds(folder + L"\\bare.log", line));
    logged.push_back(LoggedSeconds(folder, L"line", 1, kLines));
    ratios.push_back(logged.back() / bare.back());
    unwritten.push_back(UnwrittenSeconds(true));
    formatted.push_back(UnwrittenSeconds(false));
  }
  std::printf("(1) log line vs bare WriteFile: %d lines of %u characters (%u bytes), %d rounds\n", kLines,
              static_cast<unsigned>(line.size()), static_cast<unsigned>(line.size() * 2), kRounds);
  std::printf("    bare WriteFile loop            %7.3f us/line (best %.3f)\n", bench::Median(bare) / kLines * 1e6,
              *std::min_element(bare.begin(), bare.end()) / kLines * 1e6);
  std::printf("    g_log.Info, rotating writer    %7.3f us/line (best %.3f)\n", bench::Median(logged) / kLines * 1e6,
              *std::min_element(logged.begin(), logged.end()) / kLines * 1e6);
  std::printf("    ratio of the best rounds       %7.2f   (target <= 1.5)\n",
              *std::min_element(logged.begin(), logged.end()) / *std::min_element(bare.begin(), bare.end()));
  std::printf("    ratio, median of rounds        %7.2f\n", bench::Median(ratios));
  std::printf("    the log's own work, no file    %7.3f us/line (best %.3f), of which the line's text %.3f\n",
              bench::Median(unwritten) / kLines * 1e6,
              *std::min_element(unwritten.begin(), unwritten.end()) / kLines * 1e6,
              bench::Median(formatted) / kLines * 1e6);

  std::vector<double> one, many, shares;
  for (int round = 0; round < kThreadRounds; ++round) {
    one.push_back(LoggedSeconds(folder, L"threads", 1, kThreadLines));
    many.push_back(LoggedSeconds(folder, L"threads", kThreads, kThreadLines));
    shares.push_back(one.back() / many.back());
  }
  std::printf("(2) %d threads together vs one thread: %d lines in all, %d rounds\n", kThreads, kThreadLines,
              kThreadRounds);
  std::printf("    1 thread                       %9.0f lines/s\n", kThreadLines / bench::Median(one));
  std::printf("    %d threads                      %9.0f lines/s\n", kThreads, kThreadLines / bench::Median(many));
  std::printf("    ratio, median of rounds        %7.2f   (target >= 0.8)\n", bench::Median(shares));
  ::LocalFree(argv);
  return 0;
}
