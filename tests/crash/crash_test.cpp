#include "crash/crash_handler.h"
#include "crash/dump_gen.h"
#include "crash/out_of_proc.h"
#include "crash/report_file.h"
#include "logfile/file_writer.h"

#include "fixtures/fixture_record.h"
#include "exc_checks.h"
#include "log_capture.h"
#include "folder_access.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <shlwapi.h>

#include <cstring>
#include <string>
#include <vector>

// The recorder's image as the crash handler carries it.
extern const unsigned char g_recorderImage[];
extern const std::size_t g_recorderImage_size;

namespace {

using namespace testing_support;

constexpr DWORD kAccessViolation = 0xC0000005;
const wchar_t kDirVariable[] = L"KORLO_CRASH_DIR";

// --- The crashing child --------------------------------------------------------

std::wstring ChildDir() {
  wchar_t buffer[MAX_PATH] = {};
  ::GetEnvironmentVariableW(kDirVariable, buffer, MAX_PATH);
  return buffer;
}

// Records the id of the thread about to crash and its exception code, for
// the parent to compare.
void NoteCrashingThread(DWORD code = kAccessViolation) {
  WriteFileBytes(ChildDir() + L"\\tid" + std::to_wstring(::GetCurrentThreadId()), std::to_string(code));
}

KORLO_NOINLINE void WriteToNull() {
  NoteCrashingThread();
  *static_cast<volatile int*>(nullptr) = 1;
}

constexpr DWORD kRaisedCode = 0xE0000B0B;

DWORD WINAPI RaisingThread(void* start) {
  if (start) ::WaitForSingleObject(static_cast<HANDLE>(start), INFINITE);
  NoteCrashingThread(kRaisedCode);
  ::RaiseException(kRaisedCode, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  return 0;
}

// The log writer that crashes while it writes one line, holding the log's
// lock and its own.
struct CCrashingWriter : CFileLogWriterWithRotation {
  CCrashingWriter() : CFileLogWriterWithRotation(ChildDir(), L"child", true, nullptr) {}
  void WriteRaw(const std::wstring& text) override {
    if (text.find(L"crash in the writer") != std::wstring::npos) WriteToNull();
    CFileLogWriterWithRotation::WriteRaw(text);
  }
};

// Run on the first crash, after its dump: another thread crashes while this
// crash is still being processed, and this one goes on once the other's dump
// has been started.
struct CSecondCrash : crash::crash_handler_t {
  void Run() override {
    static std::atomic<bool> started{false};
    if (started.exchange(true)) return;  // the second crash runs this too
    ::CloseHandle(::CreateThread(nullptr, 0, RaisingThread, nullptr, 0, nullptr));
    for (int i = 0; i < 2000 && FilesIn(ChildDir(), L"*.mdmp").size() < 2; ++i) ::Sleep(10);
  }
};

DWORD WINAPI CrashingThread(void* start) {
  if (start) ::WaitForSingleObject(static_cast<HANDLE>(start), INFINITE);
  WriteToNull();
  return 0;
}

DWORD WINAPI ThrowingThread(void*) {
  return crash::RunInCrashFrame([]() -> int {
    NoteCrashingThread(0xE06D7363);
    throw std::runtime_error("nobody catches this");
  });
}

TEST(CrashChild, Run) {
  std::wstring role = ChildRole();
  if (role.empty()) GTEST_SKIP() << "runs only as a child";
  // "oop-<role>": the machine setting for the out-of-process recorder, in
  // this process's own redirected registry; "notemp-": and no recorder can
  // be written.
  std::unique_ptr<CTestRegKey> settings;
  if (role.compare(0, 7, L"notemp-") == 0) {  // the temporary folder is a file
    role.erase(0, 7);
    WriteFileBytes(ChildDir() + L"\\temp", "");
    ::SetEnvironmentVariableW(L"TMP", (ChildDir() + L"\\temp").c_str());
  }
  if (role.compare(0, 4, L"oop-") == 0) {
    role.erase(0, 4);
    settings = std::make_unique<CTestRegKey>(L"SOFTWARE\\Korlo\\Korlo Tandem");
    settings->SetDword(L"OutOfProcDumpGen", 1);
  }
  CCrashHandler::Instance().Install();
  CCrashHandler::Instance().SetDumpLocation(ChildDir(), L"T");
  int exitCode = 0;
  if (role == L"main") {
    exitCode = crash::RunInCrashFrame([] { return WriteToNull(), 0; });
    WriteFileBytes(ChildDir() + L"\\returned", "");
  } else if (role == L"in-log") {
    g_log.SetWriter(std::make_shared<CCrashingWriter>());
    CCrashHandler::Instance().CrashHandlers().Add(1, std::make_shared<CSecondCrash>());
    exitCode = crash::RunInCrashFrame([] { return g_log.Info(L"crash in the writer"), 0; });
  } else if (role == L"again") {
    // The process outlives the frame's crash; its next crash is its end.
    crash::RunInCrashFrame([] { return WriteToNull(), 0; });
    ::WaitForSingleObject(::CreateThread(nullptr, 0, CrashingThread, nullptr, 0, nullptr), INFINITE);
  } else if (role == L"throw") {
    // On a thread of its own: the test runner would catch it on this one.
    const CKernelHandle thread(::CreateThread(nullptr, 0, ThrowingThread, nullptr, 0, nullptr));
    ::WaitForSingleObject(thread.Get(), INFINITE);
    ::GetExitCodeThread(thread.Get(), reinterpret_cast<DWORD*>(&exitCode));
  } else {
    // "thread": one other thread crashes; "two": two crash at the same moment.
    const CKernelHandle start(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ::CloseHandle(::CreateThread(nullptr, 0, CrashingThread, start.Get(), 0, nullptr));
    if (role == L"two") ::CloseHandle(::CreateThread(nullptr, 0, RaisingThread, start.Get(), 0, nullptr));
    ::Sleep(200);
    ::SetEvent(start.Get());
    ::Sleep(INFINITE);
  }
  ::ExitProcess(static_cast<UINT>(exitCode));
}


struct SCrashCase {
  const wchar_t* role;
  bool outOfProcess;
  DWORD exitCode;
  const wchar_t* dumpMask;
  size_t dumps;  // each of its own thread, with that thread's exception code
  bool recorderFails = false;  // the temporary folder is a file: no recorder can be written there
};

// Each crash leaves its own dump naming its thread and code: threads that crash
// at once (one inside a log write, holding the log's locks), and a crash after
// one the process outlived. The process ends with its first crash's code.
TEST(CrashHandler, EveryCrashLeavesADumpOfItsOwnThread) {
  const SCrashCase cases[] = {
      {L"main", false, 1, L"T_crash_0.mdmp", 1},
      {L"throw", false, 1, L"T_crash_0.mdmp", 1},
      {L"thread", true, kAccessViolation, L"T_crash__*_*_*.mdmp", 1},
      {L"main", true, 1, L"T_crash_0.mdmp", 1, true},  // the in-process dump instead
      {L"in-log", false, 1, L"T_crash_?.mdmp", 2},
      {L"two", false, 0, L"T_crash_?.mdmp", 2},
      {L"again", false, kAccessViolation, L"T_crash_?.mdmp", 2},
  };
  for (const SCrashCase& c : cases) {
    SCOPED_TRACE(Narrow(c.role) + (c.outOfProcess ? " out of process" : " in process"));
#ifdef KORLO_SEH_FRAME_EMULATED
    // An emulated frame ends the process at the crash inside it.
    if (c.role == std::wstring(L"again")) continue;
#endif
    CScratchDir dir;
    ::SetEnvironmentVariableW(kDirVariable, dir.Path().c_str());
    const std::wstring role =
        (c.recorderFails ? L"notemp-" : L"") + std::wstring(c.outOfProcess ? L"oop-" : L"") + c.role;
    const SProcessResult run = RunSelfAsChild("CrashChild.Run", role, 90000);
    ::SetEnvironmentVariableW(kDirVariable, nullptr);

    EXPECT_FALSE(run.timedOut);
    // Two threads at the same moment: either may be the first.
    const bool either = c.exitCode == 0 && (run.exitCode == kAccessViolation || run.exitCode == kRaisedCode);
    EXPECT_TRUE(either || run.exitCode == c.exitCode) << run.exitCode << run.output;
    const std::vector<std::wstring> dumps = FilesIn(dir.Path(), L"*.mdmp");
    ASSERT_EQ(c.dumps, dumps.size()) << run.output;
    ASSERT_EQ(c.dumps, FilesIn(dir.Path(), L"tid*").size());
    std::vector<DWORD> threads;
    for (const std::wstring& dump : dumps) {
      EXPECT_TRUE(::PathMatchSpecW(dump.c_str(), c.dumpMask)) << Narrow(dump);
      const SDumpFacts facts = ReadDump(dir / dump);
      EXPECT_TRUE(facts.valid);
      EXPECT_TRUE(facts.hasException);
      EXPECT_FALSE(OpenToUsers(dir / dump));
      EXPECT_EQ(ReadFileBytes(dir / (L"tid" + std::to_wstring(facts.threadId))), std::to_string(facts.code));
      threads.push_back(facts.threadId);
    }
    EXPECT_TRUE(c.dumps == 1 || threads[0] != threads[1]);
    EXPECT_EQ(std::string::npos, run.output.find("starting debugger")) << run.output;
#ifndef KORLO_SEH_FRAME_EMULATED
    // A real frame returns from the crash to its caller (the service main
    // goes on to return, main to end the process with 1).
    EXPECT_EQ(c.role == std::wstring(L"main"), Exists(dir / L"returned"));
#endif
  }
}

// --- Dump files ------------------------------------------------------------------

void TouchAt(const std::wstring& path, std::uint64_t time) {
  WriteFileBytes(path, "x");
  CFileHandle file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  FILETIME at = {static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
  ASSERT_TRUE(::SetFileTime(file.Get(), nullptr, nullptr, &at));
}

// The folder is made for administrators only; a folder of a dump's name is
// a taken name, never counted or deleted.
TEST(DumpFiles, LowestFreeIdentifierAfterRemovingTheOldest) {
  CScratchDir dir;
  const std::wstring folder = dir / L"dumps";
  EXPECT_EQ(folder + L"\\P_crash_0.mdmp", crash::win32::NextDumpPath(L"P", folder, L"mdmp"));
  EXPECT_FALSE(OpenToUsers(folder));
  ASSERT_TRUE(::CreateDirectoryW((folder + L"\\P_crash_0.mdmp").c_str(), nullptr));
  EXPECT_EQ(folder + L"\\P_crash_1.mdmp", crash::win32::NextDumpPath(L"P", folder, L"mdmp"));
  ASSERT_TRUE(::RemoveDirectoryW((folder + L"\\P_crash_0.mdmp").c_str()));
  // 20 dumps, the oldest being number 7; and files of other prefixes and
  // extensions, older still, that must stay.
  for (unsigned id = 0; id < 20; ++id) {
    TouchAt(folder + L"\\P_crash_" + std::to_wstring(id) + L".mdmp", 130000000000000000ull + (id == 7 ? 0 : id + 1));
  }
  const std::vector<std::wstring> others = {L"Q_crash_0.mdmp", L"P_crash_0.log", L"P_other.mdmp"};
  for (const auto& name : others) TouchAt(folder + L"\\" + name, 120000000000000000ull);
  // The recorder's dumps, older still: neither counted nor deleted here.
  for (unsigned i = 0; i < 22; ++i) TouchAt(folder + L"\\P_crash__1_2_" + std::to_wstring(i) + L".mdmp", 110000000000000000ull + i);

  CLogCapture log;
  EXPECT_EQ(folder + L"\\P_crash_7.mdmp", crash::win32::NextDumpPath(L"P", folder, L"mdmp"));
  EXPECT_TRUE(log.Contains(kLogInfo, L"Dump [" + folder + L"\\P_crash_7.mdmp] deleted."));
  EXPECT_EQ(19u + 22u, FilesIn(folder, L"P_crash_*.mdmp").size());
  for (const auto& name : others) EXPECT_EQ("x", ReadFileBytes(folder + L"\\" + name)) << Narrow(name);
  // A clean-up of their own, at the start of the service, keeps the newest 20.
  CCrashHandler::Instance().SetDumpLocation(folder, L"P");
  CCrashHandler::Instance().RemoveOldRecorderDumps();
  EXPECT_FALSE(Exists(folder + L"\\P_crash__1_2_1.mdmp"));
  EXPECT_EQ(19u + 20u, FilesIn(folder, L"P_crash_*.mdmp").size());
}

int g_captureLine = 0;  // the line of the capture in WriteReportHere

KORLO_NOINLINE void WriteReportHere(const std::wstring& folder) {
  CONTEXT context = {};
  g_captureLine = __LINE__ + 1;
  ::RtlCaptureContext(&context);
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = 0xE0000042;
  EXCEPTION_POINTERS pointers = {&record, &context};
  crash::win32::legacy_dump_gen_t().Generate(folder, L"R", &pointers);
}

// Each frame of a report as "<module>!<symbol>" and its "<file>(<line>)":
// the report writes every item on a line of its own, the address ending in a
// tab, the line information after a line of two tabs.
std::vector<std::pair<std::string, std::string>> ReportFrames(const std::vector<std::wstring>& lines) {
  std::vector<std::pair<std::string, std::string>> frames;
  for (size_t i = 0; i + 3 < lines.size(); ++i) {
    if (lines[i].empty() || lines[i].back() != L'\t' || lines[i] == L"\t\t") continue;
    size_t at = i + 3;
    while (at + 1 < lines.size() && lines[at] != L"\t\t") ++at;
    frames.push_back({Narrow(lines[i + 1] + lines[i + 2]), at + 1 < lines.size() ? Narrow(lines[at + 1]) : ""});
  }
  return frames;
}

// The text report of a live stack: every part is present, registers in the
// layout of the architecture, and the first frame resolves to its symbol and
// line. The first frame is where the captured context points: on x64 the
// capturing function at the capture; on x86 RtlCaptureContext gives the
// context of the capturing function's caller (Ebp = [ebp], Eip = [ebp+4]),
// so the caller at the call. The walk goes on through this program's frames
// (on x86 by the frame pointers that it and its test framework keep).
TEST(DumpFiles, TextReportHoldsModulesRegistersAndStack) {
  CScratchDir dir;
  const int callLine = __LINE__ + 1;
  WriteReportHere(dir.Path());
  const std::vector<std::wstring> lines = SplitLines(Utf16(ReadFileBytes(dir / L"R_crash_0.log")));
  ASSERT_GT(lines.size(), 10u);
  EXPECT_FALSE(OpenToUsers(dir / L"R_crash_0.log"));
  EXPECT_TRUE(StartsWith(lines[2], L"// Exception: 0xe0000042, Address: 0x")) << Narrow(lines[2]);
  const std::string all = "\n" + JoinLines(lines) + "\n";
#ifdef _WIN64
  const char* const registers[] = {"\nrax=", "\nrip="};
#else
  const char* const registers[] = {"\neax=", "\neip="};
#endif
  const bool x64 = sizeof(void*) == 8;
  const std::string function =
      x64 ? "WriteReportHere" : "DumpFiles_TextReportHoldsModulesRegistersAndStack_Test::TestBody";
  const int line = x64 ? g_captureLine : callLine;
  for (const char* part : {"\nLoaded modules:\n", registers[0], registers[1], "\ncs=", "\nStack frames:\n"}) {
    EXPECT_NE(std::string::npos, all.find(part)) << part;
  }
  const auto frames = ReportFrames(lines);
  ASSERT_GE(frames.size(), 3u) << all;
  EXPECT_NE(std::string::npos, frames[0].first.find("!" + function)) << all;
  // A return address may fall on the line after the call.
  const std::string at = "crash_test.cpp(" + std::to_string(line) + ")";
  const std::string next = "crash_test.cpp(" + std::to_string(line + 1) + ")";
  EXPECT_TRUE(frames[0].second.find(at) != std::string::npos || frames[0].second.find(next) != std::string::npos)
      << at << all;
  for (size_t i = 1; i < 3; ++i) EXPECT_EQ(0u, frames[i].first.find("crash_test!")) << all;
}

TEST(ReportText, FlagsRegistersAndLockName) {
  EXPECT_EQ("iopl=0         nv up ei pl zr na po nc", crash::FlagWords(0x00000246));
  EXPECT_EQ("iopl=3 vip vif ov dn ei ng zr ac po cy", crash::FlagWords(0x00183ED5));
  const crash::SX86Registers x86 = {1, 2, 3, 4, 5, 6, 0x401000, 0x12ff00, 0x12ff40, 0x246,
                                    0x1b, 0x23, 0x23, 0x23, 0x3b, 0};
  const std::vector<std::string> expected = {
      "eax=00000001 ebx=00000002 ecx=00000003 edx=00000004 esi=00000005 edi=00000006\n",
      "eip=00401000 esp=0012ff00 ebp=0012ff40 iopl=0         nv up ei pl zr na po nc\n",
      "cs=001b  ss=0023  ds=0023  es=0023  fs=003b  gs=0000             efl=00000246"};
  EXPECT_EQ(expected, crash::RegisterItems(x86));
  const std::string banner = crash::BannerItem(0xC0000005, 0x401000, "Sat Dec  5 10:00:00 2026\n", "a.exe",
                                               "C:\\a.exe", 1, 2);
  EXPECT_EQ("\n" + std::string(85, '/') + "\n// Exception: 0xc0000005, Address: 0x", banner.substr(0, 124));
  EXPECT_NE(std::string::npos, banner.find("Date/Time Sat Dec  5 10:00:00 2026\n// Process a.exe (C:\\a.exe), "
                                           "Process ID: 0x00000001, Thread ID: 0x00000002\n"));

  EXPECT_EQ(L"Global\\C:/dumps/GA_crash_0.log/Lock", crash::GlobalLockName(true, L"C:\\dumps\\GA_crash_0.log"));
  EXPECT_EQ(L"C:/dumps/GA_crash_0.log/Lock", crash::GlobalLockName(false, L"C:\\dumps\\GA_crash_0.log"));
  EXPECT_EQ(260u, crash::GlobalLockName(true, L"C:\\" + std::wstring(300, L'x')).size());
}

// --- Crash handlers ---------------------------------------------------------------

struct CRecordingHandler : crash::crash_handler_t {
  CRecordingHandler(std::vector<int>& runs, int id, bool fails) : runs(runs), id(id), fails(fails) {}
  void Run() override {
    runs.push_back(id);
    if (fails) throw CExc(L"Handler failed.", E_FAIL);
  }
  std::vector<int>& runs;
  int id;
  bool fails;
};

TEST(CrashHandlers, RunInKeyOrderAndStopAtTheFirstFailure) {
  struct SCase {
    int failing;  // 0: none
    std::vector<int> runs;
    bool completed;
  };
  for (const SCase& c : {SCase{0, {1, 2, 3}, true}, SCase{2, {1, 2}, false}}) {
    std::vector<int> runs;
    crash::deinit_seq_t handlers;
    for (int id : {3, 1, 2}) handlers.Add(id, std::make_shared<CRecordingHandler>(runs, id, id == c.failing));
    handlers.Add(4, std::make_shared<CRecordingHandler>(runs, 4, false));
    handlers.Remove(4);
    CLogCapture log;
    handlers.Execute();
    EXPECT_EQ(c.runs, runs);
    EXPECT_TRUE(log.Contains(kLogInfo, L"Executing crash handlers."));
    EXPECT_EQ(c.completed, log.Contains(kLogInfo, L"Crash handlers were successfully executed."));
    EXPECT_EQ(!c.completed, log.Contains(kLogError, L"Crash handlers cannot be executed."));
  }
}

// --- The recorder ------------------------------------------------------------------

TEST(OutOfProcess, DumpTypeAndExitTexts) {
  struct SType {
    std::uint32_t mask;
    const wchar_t* text;
    std::uint32_t type;
  };
  for (const SType& t : {SType{0, L"Full", 137479}, SType{0, L"full", 0}, SType{0, L"Normal", 0},
                         SType{0, L"", 0}, SType{5, L"Full", 5}}) {
    EXPECT_EQ(t.type, crash::DumpTypeFor(t.mask, t.text)) << t.mask << " " << Narrow(t.text);
  }
  const std::pair<DWORD, std::wstring> exits[] = {
      {0, L"success"}, {1, L"unspecified failure"}, {101, L"invalid count of arguments"}, {102, L"invalid arguments"},
      {103, L"cannot create dump folder"}, {104, L"cannot delete old dumps"}, {105, L"invalid dump name"},
      {106, L"cannot create dump file"}, {107, L"cannot write dump content"}, {108, L"NTDLL is not loaded"},
      {109, L"memset is not exported from NTDLL"}, {110, L"_vsnwprintf is not exported from NTDLL"},
      {111, L"111"}, {static_cast<DWORD>(-5), L"-5"}};
  for (const auto& exit : exits) EXPECT_EQ(exit.second, crash::RecorderExitText(exit.first)) << exit.first;
  // The address goes out as a signed 64-bit number: a 32-bit one sign-extended.
  const std::wstring address = sizeof(void*) == 8 ? L"2147483648" : L"-2147483648";
  EXPECT_EQ(L"\"C:\\r\" 4 " + address + L" 7 0 20 \".\" \"GA_crash_\"",
            crash::RecorderCommandLine(L"C:\\r", reinterpret_cast<HANDLE>(4), reinterpret_cast<void*>(0x80000000u), 7,
                                       0, L"", L"GA"));
}

// The embedded image asks the loader to take its libraries from the system
// folder only (load configuration: DependentLoadFlags 0x800).
TEST(OutOfProcess, RecorderImportsComeFromTheSystemFolderOnly) {
  auto at = [](std::size_t offset, std::size_t size) {
    std::uint32_t value = 0;
    std::memcpy(&value, g_recorderImage + offset, size);
    return value;
  };
  const std::uint32_t pe = at(60, 4), sections = pe + 24 + at(pe + 20, 2);
  const bool wide = at(pe + 24, 2) == 0x20B;
  const std::uint32_t rva = at(pe + 24 + (wide ? 112 : 96) + 10 * 8, 4);
  std::uint32_t config = 0;  // the file offset, through the section holding it
  for (std::uint32_t i = 0, header = sections; i < at(pe + 6, 2); ++i, header += 40) {
    const std::uint32_t start = at(header + 12, 4);
    if (rva != 0 && rva >= start && rva < start + at(header + 8, 4)) config = at(header + 20, 4) + rva - start;
  }
  ASSERT_NE(0u, config);
  const std::uint32_t flagsAt = wide ? 0x4E : 0x36;  // DependentLoadFlags
  EXPECT_GE(at(config, 4), flagsAt + 2);
  EXPECT_EQ(0x800u, at(config + flagsAt, 2));
  EXPECT_LE(g_recorderImage_size, 4096u);
}

// The embedded image, run as written to disk: its argument checks and a
// real dump of this process without exception information, for
// administrators only.
TEST(OutOfProcess, RecorderExitCodes) {
  CScratchDir dir;
  const std::wstring recorder = dir / L"recorder.exe";
  WriteFileBytes(recorder, std::string(reinterpret_cast<const char*>(g_recorderImage), g_recorderImage_size));
  HANDLE self = nullptr;
  ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(), &self, 0, TRUE,
                                DUPLICATE_SAME_ACCESS));
  const CKernelHandle owned(self);
  const std::wstring handle = std::to_wstring(reinterpret_cast<std::intptr_t>(self));
  const std::wstring folder = L"\"" + dir.Path() + L"\"";
  struct SRun {
    std::wstring arguments;
    DWORD exitCode;
  };
  const SRun runs[] = {
      {L"1 2 3 4 5 6", 101},
      {L"1 0 thread 0 20 " + folder + L" \"S_crash_\"", 102},
      {handle + L" 0 7 0 20 \"" + dir / L"missing\\deeper" + L"\" \"S_crash_\"", 103},
      {handle + L" 0 7 0 20 " + folder + L" \"" + std::wstring(240, L's') + L"\"", 105},
      {handle + L" 0 7 0 20 " + folder + L" \"S_crash_\"", 0},
  };
  for (const SRun& run : runs) {
    const SProcessResult result = RunProcess(L"\"" + recorder + L"\" " + run.arguments, 60000);
    EXPECT_EQ(run.exitCode, result.exitCode) << Narrow(run.arguments);
    EXPECT_EQ("", result.output);
  }
  const std::vector<std::wstring> dumps = FilesIn(dir.Path(), L"*.mdmp");
  ASSERT_EQ(1u, dumps.size());
  EXPECT_TRUE(::PathMatchSpecW(dumps[0].c_str(), (L"S_crash__" + std::to_wstring(::GetCurrentProcessId()) +
                                                  L"_7_*.mdmp").c_str()))
      << Narrow(dumps[0]);
  const SDumpFacts facts = ReadDump(dir / dumps[0]);
  EXPECT_TRUE(facts.valid);
  EXPECT_FALSE(facts.hasException);
  EXPECT_FALSE(OpenToUsers(dir / dumps[0]));
}

// --- What a crash may write, and with what -----------------------------------------

// Stands in for MiniDumpWriteDump: fails with the error Wine gives for some
// faults (87), after writing g_partialBytes bytes.
DWORD g_partialBytes = 0;
BOOL WINAPI FailingWriteDump(HANDLE, DWORD, HANDLE file, int, const void*, const void*, const void*) {
  DWORD written = 0;
  if (g_partialBytes > 0) ::WriteFile(file, "MDMP....", g_partialBytes, &written, nullptr);
  ::SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

// A dump that could not be written leaves no empty file to read as a dump
// and to count among the 20; a partly written one stays, as it was.
TEST(DumpFiles, FailedMinidumpLeavesNoEmptyFile) {
  for (const DWORD partial : {0u, 4u}) {
    SCOPED_TRACE(partial);
    CScratchDir dir;
    g_partialBytes = partial;
    CONTEXT context = {};
    ::RtlCaptureContext(&context);
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = 0xE0000042;
    EXCEPTION_POINTERS pointers = {&record, &context};
    crash::win32::minidump_gen_t generator(&FailingWriteDump);
    const auto e = CatchExc([&] { generator.Generate(dir.Path(), L"F", &pointers); });
    ASSERT_TRUE(e);
    EXPECT_EQ((std::vector<std::wstring>{L"Crash details cannot be stored in minidump.",
                                         L"MiniDumpWriteDump() function call has failed."}),
              std::vector<std::wstring>(e->GetMessages().begin(), e->GetMessages().begin() + 2));
    EXPECT_EQ(HRESULT_FROM_WIN32(87), e->GetCode());
    EXPECT_EQ(partial == 0 ? std::vector<std::wstring>{} : std::vector<std::wstring>{L"F_crash_0.mdmp"},
              FilesIn(dir.Path(), L"*.mdmp"));
  }
}

TEST(DbgHelpChild, Run) {
  if (ChildRole().empty()) GTEST_SKIP() << "runs only as a child";
  crash::win32::minidump_gen_t generator;
  wchar_t system[MAX_PATH] = {};
  ::GetSystemDirectoryW(system, MAX_PATH);
  const bool planted = ::GetModuleHandleW((ChildRole() + L"\\dbghelp.dll").c_str()) != nullptr;
  const bool fromSystem = ::GetModuleHandleW((std::wstring(system) + L"\\dbghelp.dll").c_str()) != nullptr;
  ::ExitProcess(planted ? 3 : fromSystem ? 0 : 4);
}

// A dbghelp.dll beside the program is loaded by neither generator: the text
// report's (loaded when the process starts) nor the minidump writer's.
TEST(DumpFiles, DbgHelpComesFromTheSystemFolderOnly) {
  CScratchDir dir;
  const std::wstring program = dir / L"crash_test.exe";
  ASSERT_TRUE(::CopyFileW((ProgramFolder() + L"\\crash_test.exe").c_str(), program.c_str(), FALSE));
  ASSERT_TRUE(::CopyFileW((ProgramFolder() + L"\\fixture_plugin_minimal.dll").c_str(), (dir / L"dbghelp.dll").c_str(),
                          FALSE));
  ::SetEnvironmentVariableW(L"KORLO_TEST_CHILD", dir.Path().c_str());
  const SProcessResult run = RunProcess(L"\"" + program + L"\" --gtest_filter=DbgHelpChild.Run");
  ::SetEnvironmentVariableW(L"KORLO_TEST_CHILD", nullptr);
  EXPECT_EQ(0u, run.exitCode) << "3: the planted library was loaded; " << run.output;
}

// The one-shot runs write their dumps beside the program: the program's
// folder keeps its access list (under Wine a rewrite shows as Everyone
// gaining read access to a folder that had none), and the dump has its own.
TEST(DumpFiles, CrashInInjectVssLeavesTheProgramFolderAlone) {
  CScratchDir dir;
  const std::wstring program = dir / L"program";
  ASSERT_TRUE(MakeAdminsOnlyFolder(program));
  ASSERT_TRUE(::CopyFileW((ProgramFolder() + L"\\KorloGuestHelper.exe").c_str(),
                          (program + L"\\KorloGuestHelper.exe").c_str(), FALSE));
  ASSERT_TRUE(::CopyFileW((ProgramFolder() + L"\\fixture_plugin_all.dll").c_str(),
                          (program + L"\\KorloVssSupport.dll").c_str(), FALSE));
  const std::string before = DescriptorBytes(program);
  ASSERT_FALSE(before.empty());
  ::SetEnvironmentVariableW(fixture::kInjectFaultVar, L"1");
  const SProcessResult run = RunProcess(L"\"" + program + L"\\KorloGuestHelper.exe\" -injectVss", 90000, program);
  ::SetEnvironmentVariableW(fixture::kInjectFaultVar, nullptr);
  EXPECT_EQ(1u, run.exitCode) << run.output;
  EXPECT_EQ(before, DescriptorBytes(program)) << "the program folder's access list was rewritten";
  const std::vector<std::wstring> dumps = FilesIn(program, L"VSS_crash_*.mdmp");
  ASSERT_EQ(1u, dumps.size()) << run.output;
  const SDumpFacts facts = ReadDump(program + L"\\" + dumps[0]);
  EXPECT_TRUE(facts.valid);
  EXPECT_TRUE(facts.hasException);
  EXPECT_EQ(fixture::kFaultCode, facts.code);
  EXPECT_FALSE(OpenToUsers(program + L"\\" + dumps[0]));
}

}  // namespace
