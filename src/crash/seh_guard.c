#include "crash/seh_frame.h"

#if defined(__MINGW32__)
LONG CALLBACK _gnu_exception_handler(EXCEPTION_POINTERS* pointers);
LPTOP_LEVEL_EXCEPTION_FILTER korlo_runtime_exception_filter(void) { return _gnu_exception_handler; }
#else
LPTOP_LEVEL_EXCEPTION_FILTER korlo_runtime_exception_filter(void) { return 0; }
#endif

#if defined(_MSC_VER) || defined(__clang__)

/* The exception code is read in the filter expression: inside the __except
 * block clang's x64 mingw code does not have it any more. */
int korlo_seh_guarded_call(korlo_guarded_fn fn, void* context, korlo_seh_filter filter, int* handled) {
  *handled = 0;
  __try {
    return fn(context);
  } __except (filter(GetExceptionInformation())) {
    *handled = 1;
    return 0;
  }
}

korlo_seh_filter korlo_seh_emulated_filter(void) { return 0; }

#else

static __thread korlo_seh_filter t_filter;

int korlo_seh_guarded_call(korlo_guarded_fn fn, void* context, korlo_seh_filter filter, int* handled) {
  korlo_seh_filter outer = t_filter;
  int result;
  t_filter = filter;
  *handled = 0;
  result = fn(context);
  t_filter = outer;
  return result;
}

korlo_seh_filter korlo_seh_emulated_filter(void) { return t_filter; }

#endif
