# Cross-build for 64-bit Windows with Debian's MinGW-w64 (posix thread flavour,
# which has std::thread and std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)
set(CMAKE_AR ${_mingw}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${_mingw}-ranlib CACHE FILEPATH "")

# Dependencies built by scripts/bootstrap live in one prefix outside the tree.
if(DEFINED ENV{LAUNCHER_DEPS_DIR} AND NOT LAUNCHER_DEPS_DIR)
  set(LAUNCHER_DEPS_DIR "$ENV{LAUNCHER_DEPS_DIR}")
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${_mingw} ${LAUNCHER_DEPS_DIR})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
