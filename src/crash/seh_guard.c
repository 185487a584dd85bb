#include "crash/seh_frame.h"

#if defined(__MINGW32__)
LONG CALLBACK _gnu_exception_handler(EXCEPTION_POINTERS* pointers);
LPTOP_LEVEL_EXCEPTION_FILTER korlo_runtime_exception_filter(void) { return _gnu_exception_handler; }
#else
LPTOP_LEVEL_EXCEPTION_FILTER korlo_runtime_exception_filter(void) { return 0; }
#endif

#if defined(_MSC_VER) || (defined(__clang__) && !defined(__i386__))

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

#elif defined(__i386__)

/* x86 frames are a list on the stack, headed by the thread's TIB
 * (fs:[0]): the frame is registered by hand, as a compiler registers its
 * __try. Its handler asks the filter; on EXCEPTION_EXECUTE_HANDLER it unwinds
 * the frames registered inside it (their handlers see the unwind) and
 * resumes korlo_seh_guarded_call as if fn had returned. */
typedef struct korlo_x86_frame {
  EXCEPTION_REGISTRATION_RECORD record; /* first: the list links point here */
  korlo_seh_filter filter;
  void* resume[5]; /* __builtin_setjmp's buffer */
} korlo_x86_frame;

static EXCEPTION_REGISTRATION_RECORD* ListHead(void) {
  EXCEPTION_REGISTRATION_RECORD* head;
  __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

static void SetListHead(EXCEPTION_REGISTRATION_RECORD* head) {
  __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

static EXCEPTION_DISPOSITION __cdecl FrameHandler(EXCEPTION_RECORD* record, void* establisher, CONTEXT* context,
                                                  void* dispatcher) {
  korlo_x86_frame* frame = (korlo_x86_frame*)establisher;
  EXCEPTION_POINTERS pointers;
  LONG verdict;
  (void)dispatcher;
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
  pointers.ExceptionRecord = record;
  pointers.ContextRecord = context;
  verdict = frame->filter(&pointers);
  if (verdict == EXCEPTION_CONTINUE_EXECUTION) return ExceptionContinueExecution;
  if (verdict != EXCEPTION_EXECUTE_HANDLER) return ExceptionContinueSearch;
  /* Returns here with this frame at the head of the list. */
  RtlUnwind(&frame->record, 0, record, 0);
  __builtin_longjmp(frame->resume, 1);
}

/* Also when a C++ exception leaves fn: the frame never outlives the call. */
static void PopFrame(korlo_x86_frame* frame) { SetListHead(frame->record.Next); }

int korlo_seh_guarded_call(korlo_guarded_fn fn, void* context, korlo_seh_filter filter, int* handled) {
  korlo_x86_frame frame __attribute__((cleanup(PopFrame)));
  *handled = 0;
  frame.record.Next = ListHead();
  frame.record.Handler = (PEXCEPTION_ROUTINE)(void*)FrameHandler;
  frame.filter = filter;
  if (__builtin_setjmp(frame.resume)) {
    *handled = 1;
    return 0;
  }
  SetListHead(&frame.record);
  return fn(context);
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
