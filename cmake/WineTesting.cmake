# Included after project() and before any target: gives every target the Wine
# runner as its CROSSCOMPILING_EMULATOR, so ctest runs the tests under wine64.
if(NOT CMAKE_CROSSCOMPILING OR NOT MINGW_CAN_RUN_TESTS)
  return()
endif()
find_program(WINE_EXECUTABLE wine REQUIRED)
set(WINE_PREFIX_DIR "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix used by the tests")
set(WINE_RUN "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh")
set(CMAKE_CROSSCOMPILING_EMULATOR "${WINE_RUN}" "${WINE_PREFIX_DIR}")
# The prefix is created during the build, in parallel with compilation.
add_custom_command(
  OUTPUT  "${WINE_PREFIX_DIR}/.initialized"
  COMMAND "${WINE_RUN}" "${WINE_PREFIX_DIR}" --init
  DEPENDS "${WINE_RUN}"
  COMMENT "Preparing Wine prefix ${WINE_PREFIX_DIR}"
  VERBATIM)
add_custom_target(wineprefix ALL DEPENDS "${WINE_PREFIX_DIR}/.initialized")
# `--target wine-stop` ends the prefix's wineserver at once.
add_custom_target(wine-stop COMMAND "${WINE_RUN}" "${WINE_PREFIX_DIR}" --stop VERBATIM)
