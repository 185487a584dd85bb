# Toolchain: Windows through Debian's mingw-w64 (posix thread model).
# MINGW_TRIPLE chooses the target: x86_64-w64-mingw32 (the default) or
# i686-w64-mingw32; the presets set it.
set(MINGW_TRIPLE x86_64-w64-mingw32 CACHE STRING "mingw-w64 target triple")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MINGW_TRIPLE)
set(CMAKE_SYSTEM_NAME Windows)
# Tests run under Wine of the same width (cmake/WineTesting.cmake).
if(MINGW_TRIPLE MATCHES "^x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  set(CMAKE_SYSTEM_PROCESSOR X86)
endif()
set(MINGW_CAN_RUN_TESTS ON)
set(CMAKE_C_COMPILER   ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${MINGW_TRIPLE}-windres)
set(MINGW_WIDL         ${MINGW_TRIPLE}-widl)
set(MINGW_OBJDUMP      ${MINGW_TRIPLE}-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Fully static: no libgcc_s_*.dll, libstdc++-6.dll or libwinpthread-1.dll at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
