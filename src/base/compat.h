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

// Calls to functions the SDK marks deprecated but the system still needs
// (GetVersionExW): MSVC warns (C4996), GCC does not.
#if defined(_MSC_VER)
#define KORLO_DEPRECATED_CALLS_BEGIN __pragma(warning(push)) __pragma(warning(disable : 4996))
#define KORLO_DEPRECATED_CALLS_END __pragma(warning(pop))
#else
#define KORLO_DEPRECATED_CALLS_BEGIN
#define KORLO_DEPRECATED_CALLS_END
#endif
