# 32-bit Windows with the win32-thread variant of mingw-w64: its C++ runtime brings no
# winpthreads, whose KERNEL32 imports (GetTickCount64) keep a program from starting before
# Vista. The program uses no threads. Without winpthreads, std::chrono::steady_clock follows
# the system clock, so the program keeps its time with StatusClock (src/console.h). The
# GoogleTest suites need std::thread and build with mingw-w64-i686-posix.cmake instead.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/windows-run)
