/* A structured-exception frame around a call, in the one form every compiler
 * of the tree can build. MSVC and clang build a real __try/__except frame
 * (seh_guard.c is compiled by clang for the mingw x64 build); GCC has no
 * __try: on x86 the file registers the frame itself, as the compilers do
 * there; on x64 without clang the frame is emulated: the guard only records
 * its filter for the thread, and the process's top-level filter (the crash
 * handler) calls it and ends the process with the frame's exit code. */
#pragma once

#include "base/win.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*korlo_guarded_fn)(void* context);
typedef LONG (*korlo_seh_filter)(EXCEPTION_POINTERS* pointers);

/* Runs fn(context) in a frame whose filter is `filter`. When the filter
 * answers EXCEPTION_EXECUTE_HANDLER, *handled becomes 1 and the result is 0;
 * otherwise *handled is 0 and the result is fn's. */
int korlo_seh_guarded_call(korlo_guarded_fn fn, void* context, korlo_seh_filter filter, int* handled);

/* The filter of the innermost emulated frame of the calling thread; always
 * null where frames are real. */
korlo_seh_filter korlo_seh_emulated_filter(void);

/* The C run-time's own top-level filter, installed before main runs, or
 * null. mingw's translates structured exceptions into C signals and answers
 * EXCEPTION_CONTINUE_SEARCH for a crash nobody handles; the crash handler
 * does not pass crashes on to it. */
LPTOP_LEVEL_EXCEPTION_FILTER korlo_runtime_exception_filter(void);

#ifdef __cplusplus
}
#endif
