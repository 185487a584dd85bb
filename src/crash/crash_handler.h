// The process-wide crash handler: on an unhandled exception on any thread it
// writes one dump (out-of-process recorder, in-process minidump or text
// report), runs the registered crash handlers and lets the process end.
//
// Entry points run their body through RunInCrashFrame, so that a crash of
// the body ends the process with kCrashExitCode after the dump:
//
//   int wmain(int argc, wchar_t** argv) {
//     CCrashHandler::Instance().Install();
//     return crash::RunInCrashFrame([&] { return HostMain(argc, argv); });
//   }
#pragma once

#include "base/win.h"
#include "crash/dump_gen.h"
#include "util/thread.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace crash {

// What the frame round an entry point makes of a crash.
constexpr int kCrashExitCode = 1;
// Raised by the terminate handler, so that an uncaught C++ exception reaches
// the crash handler like any other crash (the code MSVC's C++ exceptions
// carry).
constexpr DWORD kUncaughtCxxExceptionCode = 0xE06D7363;

// An action to run when the process crashes.
class crash_handler_t {
 public:
  virtual ~crash_handler_t() = default;
  // Runs on the crashed thread. Throws CExc to stop the remaining actions.
  virtual void Run() = 0;
};

// The registered crash actions, run in ascending key order. An action must
// not call Add or Remove.
class deinit_seq_t {
 public:
  // Replaces an action under the same key.
  void Add(std::uint32_t key, std::shared_ptr<crash_handler_t> handler);
  void Remove(std::uint32_t key);
  // Logs the walk; a CExc from an action stops it and is logged, not thrown.
  void Execute();

 private:
  CCriticalSection m_lock;  // recursive: a thread that crashed inside Add may still run the actions
  std::map<std::uint32_t, std::shared_ptr<crash_handler_t>> m_handlers;
};

// Runs body() inside a structured-exception frame whose filter is the crash
// handler (previous filter not consulted). Returns body's result, or
// kCrashExitCode when a structured exception ended it (on GCC builds
// without a real frame the process exits with that code instead).
int RunInCrashFrame(int (*body)(void*), void* context);
template <class Body>
int RunInCrashFrame(Body&& body) {
  using Callable = std::remove_reference_t<Body>;
  return RunInCrashFrame([](void* context) -> int { return (*static_cast<Callable*>(context))(); },
                         const_cast<void*>(static_cast<const void*>(&body)));
}

}  // namespace crash

class CCrashHandler {
 public:
  // Created on first use; lives until process exit.
  static CCrashHandler& Instance();

  // Makes this the process's top-level exception filter (remembering the one
  // it replaces), routes std::terminate here and sets the dump folder to the
  // executable's folder. Logs its failures; never throws.
  void Install();
  // Sets the folder (unless empty) and the name prefix of later dumps.
  void SetDumpLocation(const std::wstring& folder, const std::wstring& prefix);
  // The same with the folder of filePath.
  void SetDumpLocationOfFile(const std::wstring& filePath, const std::wstring& prefix);
  // Keeps the newest dumps of the out-of-process recorder in the dump
  // folder, which the numbered dumps' clean-up does not touch. Called when
  // the service starts; logs its failures, never throws.
  void RemoveOldRecorderDumps();

  // Writes the dump and runs the crash handlers; returns the filter's
  // verdict: EXCEPTION_EXECUTE_HANDLER, or the previous filter's verdict when
  // callPrevious is set and there was one. Threads that crash at the same
  // time each write their own dump; none returns before all those dumps
  // are complete, and the earliest crash returns first (its verdict ends
  // the process). A thread that crashes inside its own processing writes
  // no second dump.
  LONG ProcessUnhandledException(EXCEPTION_POINTERS* pointers, bool callPrevious);
  // Never throw: failures are logged.
  void GenerateCrashDump(EXCEPTION_POINTERS* pointers);
  void RunCrashHandlers();
  // The generator for this system and the settings, created anew per crash.
  std::shared_ptr<crash::win32::dump_gen_base_t> CreateDumpGenerator();

  crash::deinit_seq_t& CrashHandlers() { return *m_handlers; }

 private:
  CCrashHandler();

  std::shared_ptr<crash::deinit_seq_t> m_handlers;
  LPTOP_LEVEL_EXCEPTION_FILTER m_previousFilter = nullptr;
  std::wstring m_dumpFolder;
  std::wstring m_dumpPrefix = L"VSS";
  bool m_disabled = false;
  std::atomic<long> m_dumpsInProgress{0};  // crashes whose dump and handlers are running
  std::atomic<long> m_crashesSeen{0};      // crashes processed so far, in order of arrival
  std::atomic<long> m_crashesDecided{0};   // of those, the ones that returned their verdict
};

// Worker threads that must not outlive the service; the service ends them
// when it stops.
class CAbandonedThreads {
 public:
  static CAbandonedThreads& Instance();
  ~CAbandonedThreads();

  void Add(std::shared_ptr<CThread> thread);
  // Terminates (exit code 0) every thread still running, in list order;
  // logFailures: a failed termination is logged.
  void TerminateAbandonedThreads(bool logFailures);

 private:
  CAbandonedThreads() = default;

  CCriticalSection m_lock;
  std::vector<std::shared_ptr<CThread>> m_threads;
};
