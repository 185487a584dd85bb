// Compiler differences between MSVC and mingw-w64 GCC, kept in one place so
// that the rest of the tree reads the same on both compilers.
#pragma once

// Functions a DLL exports by plain name. On i686 the stdcall decoration
// (_Name@N) is removed by a .def file (mingw: together with
// --enable-stdcall-fixup; MSVC: the .def file alone).
#define KORLO_STDCALL __stdcall

// Objects that must be constructed before all other static objects of the
// program (the process log): MSVC marks the whole file with
// `#pragma init_seg(lib)` instead (see KORLO_INIT_SEG_LIB).
#if defined(_MSC_VER)
#define KORLO_INIT_EARLY
#define KORLO_INIT_SEG_LIB __pragma(init_seg(lib))
#else
#define KORLO_INIT_EARLY __attribute__((init_priority(101)))
#define KORLO_INIT_SEG_LIB
#endif

#if defined(_MSC_VER)
#define KORLO_NOINLINE __declspec(noinline)
#define KORLO_NORETURN __declspec(noreturn)
#define KORLO_UNUSED
#else
#define KORLO_NOINLINE __attribute__((noinline))
#define KORLO_NORETURN __attribute__((noreturn))
#define KORLO_UNUSED __attribute__((unused))
#endif

// GetProcAddress returns FARPROC; casting it to the real function type draws
// -Wcast-function-type from GCC. Going through void* is the portable route.
template <class Fn, class Proc>
inline Fn ProcCast(Proc proc) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
}

// Put in front of one statement that calls a function MSVC's headers mark as
// deprecated (C4996) although it is the one wanted, such as GetVersionExW.
#if defined(_MSC_VER)
#define KORLO_ALLOW_DEPRECATED __pragma(warning(suppress : 4996))
#else
#define KORLO_ALLOW_DEPRECATED
#endif
