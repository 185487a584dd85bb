// The one-shot run modes that main dispatches to; exactly one run mode runs
// per process (the service runs are in host/service.h).
#pragma once

class CSvcCtx;

// One call of the plugin's HvInjectVss export.
void RunInjectVss(CSvcCtx& ctx);
// The desktop snapshot self-test on the console.
void RunDesktopSnapshotTest(CSvcCtx& ctx);
// The uninstaller run.
void RunUninstall(CSvcCtx& ctx);
// The diagnostics bundle (-collectDiagnostics <file.cab>); returns the
// process exit code (diag/diagnostics.h).
int RunCollectDiagnostics(CSvcCtx& ctx);
