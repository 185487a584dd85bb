// What passes between the guest helper (the host) and a plugin library. The
// host and every plugin built here include this one header; a plugin built
// elsewhere only has to meet the same names, types and reliances.
//
// A plugin is a DLL that exports the functions below under their plain names
// ("PluginMain", never "_PluginMain@12"): give the DLL a .def file. The host
// looks them up with GetProcAddress by exact, case-sensitive name and ignores
// every result.
//
// Calls the host makes, in this order:
//   Hosted service (also the desktop VSS and FLR services):
//     at load, on the service thread:
//       PluginInitLogging(folder, name, 1)       if exported
//       PluginSetOnlyFlr()                       FLR service only, if exported
//     PluginInitRpcEp()            service thread; the protocol sequence and
//                                  the authentication services are registered,
//                                  listening has not started yet
//     PluginDoSvcStartupSteps()    service thread, if exported; the service
//                                  shows START_PENDING until it returns
//     PluginMain(event, uninstall, persistent)
//                                  on a work thread of the plugin's own
//   "injectVss" run: load as above, then HvInjectVss() on the main thread.
//   "desktopSnapshot" run: load as above, then TestInvoker(...) on the main
//     thread once per test operation (kTestOp* below, in that order).
//   In the two one-shot runs neither PluginInitRpcEp nor PluginMain is called.
// After PluginMain has returned (or, in the one-shot runs, after the last
// call) the host calls FreeLibrary.
//
// What the host relies on:
// - PluginMain returns once the termination event is signalled. The host waits
//   for it without a time limit: a PluginMain that never returns keeps the
//   service in STOP_PENDING for good.
// - PluginInitRpcEp registers the plugin's RPC interfaces with the process's
//   RPC run-time (RpcServerRegisterIf*); the host registers no interface of
//   its own and serves only what the plugins register.
// - PluginDoSvcStartupSteps returns when the plugin's start-up work is done.
// - The uninstall callback may be called from any of the plugin's threads.
// - Nothing is thrown out of an export. The host cannot catch a plugin's C++
//   exceptions (each module has its own run-time), and a structured exception
//   that leaves PluginMain reaches the host's crash handler on the work thread
//   and ends the process.
//
// What a plugin relies on:
// - Text arguments belong to the host and are valid only during the call;
//   keep a copy.
// - The termination event handle is a duplicate made for this call; the host
//   closes it after PluginMain returns. Wait on it; do not close it.
// - The host unloads the library after PluginMain returns while its RPC
//   endpoint may still be listening, so a plugin unregisters its interfaces
//   (RpcServerUnregisterIf with "wait for calls") before PluginMain returns.
#pragma once

#include "base/compat.h"
#include "base/win.h"

// Called by the host, when a plugin hands one to the uninstall callback, with
// the address of a one-byte cancel flag that starts at 0; setting it to 1
// cancels the removal. A plain (cdecl) function, not stdcall.
typedef void __cdecl PluginUninstallDecisionFn(BOOLEAN* cancel);

// The host's uninstall callback, handed to PluginMain: asks the host to remove
// the guest service. `rebootRequired` is 0 or 1. `fileLockName` names the
// lock file of the removal handshake; when it is empty the uninstaller goes
// ahead without a handshake and `decide` is not called. `decide` may be null
// (the removal is accepted). The result is 1 when the removal was set going
// (or its handshake failed), 0 when `decide` cancelled it or removal is
// disabled in this run mode. Blocks for up to several seconds while the
// handshake runs.
typedef BOOLEAN KORLO_STDCALL PluginUninstallFn(BOOLEAN rebootRequired, const char* fileLockName,
                                                PluginUninstallDecisionFn* decide);

// Required. Runs on the plugin's work thread until `terminationEvent` is
// signalled. `persistent` is 1 in persistent mode, else 0.
typedef void KORLO_STDCALL PluginMainFn(HANDLE terminationEvent, PluginUninstallFn* uninstall,
                                        BOOLEAN persistent);
// Required. Registers the plugin's RPC interfaces.
typedef void KORLO_STDCALL PluginInitRpcEpFn();
// Optional. The plugin's start-up work while the service shows START_PENDING.
typedef void KORLO_STDCALL PluginDoSvcStartupStepsFn();
// Optional. Where the plugin keeps its log: the host's log folder (no
// trailing backslash) and a file name without extension ("KorloVssSupport",
// with "_flr" appended in the FLR service). `reserved` is always
// plugin::kInitLoggingReserved.
typedef void KORLO_STDCALL PluginInitLoggingFn(const wchar_t* logFolder, const wchar_t* logName,
                                               DWORD reserved);
// Optional; looked up only in the FLR service. The plugin serves file-level
// restore only.
typedef void KORLO_STDCALL PluginSetOnlyFlrFn();
// Needed only by the "injectVss" run.
typedef void KORLO_STDCALL HvInjectVssFn();
// Needed only by the "desktopSnapshot" run. `operation` is one of kTestOp*;
// the values are pointer-sized so that a pointer fits (32-bit on x86).
typedef void KORLO_STDCALL TestInvokerFn(const wchar_t* operation, UINT_PTR value1, UINT_PTR value2);

// The exports themselves. Declared here so that a plugin's definitions are
// checked against the types above; the host never calls them by name.
extern "C" {
PluginMainFn PluginMain;
PluginInitRpcEpFn PluginInitRpcEp;
PluginDoSvcStartupStepsFn PluginDoSvcStartupSteps;
PluginInitLoggingFn PluginInitLogging;
PluginSetOnlyFlrFn PluginSetOnlyFlr;
HvInjectVssFn HvInjectVss;
TestInvokerFn TestInvoker;
}

namespace plugin {

// Export names for GetProcAddress.
constexpr char kPluginMain[] = "PluginMain";
constexpr char kPluginInitRpcEp[] = "PluginInitRpcEp";
constexpr char kPluginDoSvcStartupSteps[] = "PluginDoSvcStartupSteps";
constexpr char kPluginInitLogging[] = "PluginInitLogging";
constexpr char kPluginSetOnlyFlr[] = "PluginSetOnlyFlr";
constexpr char kHvInjectVss[] = "HvInjectVss";
constexpr char kTestInvoker[] = "TestInvoker";

// The third argument of PluginInitLogging.
constexpr DWORD kInitLoggingReserved = 1;

// TestInvoker operations of the desktop snapshot test, in the order the host
// uses them. Both values are 0 except for kTestOpDumpVolumesXml, whose first
// value is the address of the wide, null-terminated path the plugin writes
// the volumes dump to. kTestOpWaitReady returns when the snapshot is ready.
constexpr wchar_t kTestOpStart[] = L"StartTestDesktopSnapshot";
constexpr wchar_t kTestOpWaitReady[] = L"WaitTestDesktopSnapshotReady";
constexpr wchar_t kTestOpDumpVolumesXml[] = L"DumpVolumesXmlForDesktopSnapshot";
constexpr wchar_t kTestOpFinish[] = L"FinishTestDesktopSnapshot";

}  // namespace plugin
