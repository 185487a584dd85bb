// The service: the dispatcher, the service main and the service body.
#pragma once

class CSvcCtx;

// Sets the process COM security (before anything else uses COM). A failure
// is logged as a warning and the process goes on.
void InitComSecurity();

// Hands the main thread to the service control dispatcher; returns when the
// service has stopped. Throws CWin32Exc when the dispatcher cannot start (a
// program started from a console).
void RunServiceDispatcher(CSvcCtx& ctx);
// The service body, on the calling thread; in debug mode nothing is reported
// to the service control manager.
void RunServiceBody(CSvcCtx& ctx, bool debugMode);
