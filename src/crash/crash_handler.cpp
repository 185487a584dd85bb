#include "crash/crash_handler.h"

#include "base/exc.h"
#include "base/msg.h"
#include "base/path.h"
#include "crash/out_of_proc.h"
#include "crash/seh_frame.h"
#include "log/log.h"
#include "settings/settings.h"

#include <atomic>
#include <exception>

namespace {

// A crashed thread whose dump is complete waits this long for the dumps of
// other threads that crashed meanwhile: the process must not end under
// them. Not without a limit: one of them may be stuck.
constexpr DWORD kOtherDumpsWaitMs = 60000;
// The earliest of several crashes ends the process; a later one gives it
// this long to do so before it ends the process itself (the earlier one may
// have been taken by a frame that lets the process go on).
constexpr DWORD kProcessEndWaitMs = 2000;
// A thread that crashed while a dump was written was held suspended by the
// dump writer and reaches the handler only once the dump is complete: the
// writer gives such a thread this long to announce its own dump before it
// lets the process end.
constexpr DWORD kHeldCrashGraceMs = 250;
constexpr DWORD kCrashPollMs = 10;
// dbghelp is single-threaded, and the text report is one object for the
// process: threads that crash at once write their dumps in turn. The turn is
// a flag, not a lock a crashed thread could keep: a holder that never lets
// go (it failed again inside dbghelp) is waited for this long, and then the
// dump is tried all the same.
constexpr DWORD kDumpTurnWaitMs = 30000;
std::atomic<bool> g_dumpTurnTaken{false};

// Polls until done() holds or limitMs has passed; true when it holds.
template <class Done>
bool PollFor(Done done, DWORD limitMs) {
  for (DWORD waited = 0; !done(); waited += kCrashPollMs) {
    if (waited >= limitMs) return false;
    ::Sleep(kCrashPollMs);
  }
  return true;
}

// GCC's x64 C++ throw is a continuable structured exception that reaches the
// filters only when nothing catches it; continued, it makes the C++ run-time
// call std::terminate, whose handler raises the crash.
bool IsContinuableCxxThrow(const EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  return (record.ExceptionCode & 0x20FFFFFF) == 0x20474343 && (record.ExceptionFlags & EXCEPTION_NONCONTINUABLE) == 0;
}

LONG WINAPI TopLevelFilter(EXCEPTION_POINTERS* pointers) {
  if (IsContinuableCxxThrow(pointers)) return EXCEPTION_CONTINUE_EXECUTION;
  if (const korlo_seh_filter frame = korlo_seh_emulated_filter()) {
    // The crashed thread runs inside an emulated frame: its handler block
    // ends the process with the frame's exit code.
    const LONG verdict = frame(pointers);
    if (verdict == EXCEPTION_EXECUTE_HANDLER) ::ExitProcess(crash::kCrashExitCode);
    if (verdict == EXCEPTION_CONTINUE_EXECUTION) return verdict;
  }
  return CCrashHandler::Instance().ProcessUnhandledException(pointers, true);
}

LONG FrameFilter(EXCEPTION_POINTERS* pointers) {
  if (IsContinuableCxxThrow(pointers)) return EXCEPTION_CONTINUE_SEARCH;
  return CCrashHandler::Instance().ProcessUnhandledException(pointers, false);
}

[[noreturn]] void OnTerminate() {
  ::RaiseException(crash::kUncaughtCxxExceptionCode, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  ::ExitProcess(crash::kCrashExitCode);  // not reached: the raise does not return
}

}  // namespace

namespace crash {

void deinit_seq_t::Add(std::uint32_t key, std::shared_ptr<crash_handler_t> handler) {
  CCriticalSection::CHold hold(m_lock);
  m_handlers[key] = std::move(handler);
}

void deinit_seq_t::Remove(std::uint32_t key) {
  CCriticalSection::CHold hold(m_lock);
  m_handlers.erase(key);
}

void deinit_seq_t::Execute() {
  try {
    g_log.Info(L"Executing crash handlers.");
    CCriticalSection::CHold hold(m_lock);
    for (const auto& entry : m_handlers) {
      const std::shared_ptr<crash_handler_t> handler = entry.second;
      handler->Run();
    }
    g_log.Info(L"Crash handlers were successfully executed.");
  } catch (const CExc& e) {
    g_log.Error(L"Crash handlers cannot be executed.", e);
  }
}

int RunInCrashFrame(int (*body)(void*), void* context) {
  int handled = 0;
  const int result = korlo_seh_guarded_call(body, context, &FrameFilter, &handled);
  return handled ? kCrashExitCode : result;
}

}  // namespace crash

// --- CCrashHandler ---------------------------------------------------------------

CCrashHandler& CCrashHandler::Instance() {
  static CCrashHandler instance;
  return instance;
}

CCrashHandler::CCrashHandler() : m_handlers(std::make_shared<crash::deinit_seq_t>()) {}

void CCrashHandler::Install() {
  try {
    const LPTOP_LEVEL_EXCEPTION_FILTER previous = ::SetUnhandledExceptionFilter(&TopLevelFilter);
    if (previous != &TopLevelFilter && previous != korlo_runtime_exception_filter()) m_previousFilter = previous;
    std::set_terminate(&OnTerminate);

    try {
      m_dumpFolder = GetModuleFolder();
    } catch (const CExc&) {
      // Without the program's path the folder stays empty until SetDumpLocation.
    }
  } catch (const CExc& e) {
    g_log.Error(L"Cannot supersede crash handler.", e);
  }
}

void CCrashHandler::SetDumpLocation(const std::wstring& folder, const std::wstring& prefix) {
  if (!folder.empty()) m_dumpFolder = folder;
  m_dumpPrefix = prefix;
}

void CCrashHandler::SetDumpLocationOfFile(const std::wstring& filePath, const std::wstring& prefix) {
  std::wstring folder, file;
  SplitPath(filePath, folder, file);
  SetDumpLocation(folder, prefix);
}

void CCrashHandler::RemoveOldRecorderDumps() {
  try {
    crash::win32::RemoveOldRecorderDumps(m_dumpFolder, m_dumpPrefix);
  } catch (const CExc& e) {
    g_log.Error(L"Cannot remove old dumps.", e);
  }
}

LONG CCrashHandler::ProcessUnhandledException(EXCEPTION_POINTERS* pointers, bool callPrevious) {
  if (m_disabled) return EXCEPTION_EXECUTE_HANDLER;
  if (CLog::CCrashScope::InCrash()) {
    // The thread failed again inside its own processing: no dump of that,
    // but the process still waits for the other threads' dumps.
    PollFor([this] { return m_dumpsInProgress <= 1; }, kOtherDumpsWaitMs);
    return EXCEPTION_EXECUTE_HANDLER;
  }
  // Every crashing thread writes its own dump; its log lines never wait for
  // a log lock that a crashed thread holds.
  const CLog::CCrashScope crashScope;
  const long ticket = m_crashesSeen++;
  ++m_dumpsInProgress;
  LONG verdict = EXCEPTION_EXECUTE_HANDLER;
  try {
    GenerateCrashDump(pointers);
    RunCrashHandlers();
    if (callPrevious && m_previousFilter) verdict = m_previousFilter(pointers);
  } catch (const CExc& e) {
    g_log.Error(L"Cannot process an unhandled exception.", e);
    verdict = EXCEPTION_EXECUTE_HANDLER;
  }
  --m_dumpsInProgress;
  ::Sleep(kHeldCrashGraceMs);
  PollFor([this] { return m_dumpsInProgress == 0; }, kOtherDumpsWaitMs);
  // The earlier crashes decide first: the process ends with the code of
  // the first one.
  if (m_crashesDecided < ticket && PollFor([this, ticket] { return m_crashesDecided >= ticket; }, kOtherDumpsWaitMs)) {
    ::Sleep(kProcessEndWaitMs);
  }
  ++m_crashesDecided;
  return verdict;
}

void CCrashHandler::GenerateCrashDump(EXCEPTION_POINTERS* pointers) {
  const bool turn = PollFor([] { return !g_dumpTurnTaken.exchange(true, std::memory_order_acquire); }, kDumpTurnWaitMs);
  try {
    CreateDumpGenerator()->Generate(m_dumpFolder, m_dumpPrefix, pointers);
  } catch (const CExc& e) {
    g_log.Error(L"Cannot generate crash dump.", e);
  }
  if (turn) g_dumpTurnTaken.store(false, std::memory_order_release);
}

void CCrashHandler::RunCrashHandlers() {
  try {
    m_handlers->Execute();
  } catch (const CExc& e) {
    g_log.Error(e.GetFullText());
  }
}

std::shared_ptr<crash::win32::dump_gen_base_t> CCrashHandler::CreateDumpGenerator() {
  using namespace crash::win32;
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof(version);  // 276
  KORLO_ALLOW_DEPRECATED if (!::GetVersionExW(&version)) return std::make_shared<legacy_dump_gen_t>();
  if (version.dwMajorVersion < 5 || (version.dwMajorVersion == 5 && version.dwMinorVersion < 1)) {
    return std::make_shared<legacy_dump_gen_t>();
  }
  if (GetOutOfProcDumpGen()) {
    try {
      return std::make_shared<COutOfProcDumpGen>();
    } catch (const CExc& e) {
      g_log.Error(L"Failed to create out-of-process dump generator", e);
    }
  }
  try {
    return std::make_shared<minidump_gen_t>();
  } catch (const CExc&) {
    // No dbghelp.dll or no MiniDumpWriteDump: the text report.
  }
  return std::make_shared<legacy_dump_gen_t>();
}

// --- CAbandonedThreads -----------------------------------------------------------

CAbandonedThreads& CAbandonedThreads::Instance() {
  static CAbandonedThreads instance;
  return instance;
}

CAbandonedThreads::~CAbandonedThreads() {
  TerminateAbandonedThreads(false);
  m_threads.clear();
}

void CAbandonedThreads::Add(std::shared_ptr<CThread> thread) {
  CCriticalSection::CHold hold(m_lock);
  m_threads.push_back(std::move(thread));
}

void CAbandonedThreads::TerminateAbandonedThreads(bool logFailures) {
  CCriticalSection::CHold hold(m_lock);
  for (const std::shared_ptr<CThread>& thread : m_threads) {
    if (::WaitForSingleObject(thread->GetHandle(), 0) == WAIT_OBJECT_0) continue;
    DWORD error = 0;
    if (!thread->Terminate(error) && logFailures) {
      g_log.Message(L"Could not terminate abandoned thread. Error code: %1", UInt64Text(error));
    }
  }
}
