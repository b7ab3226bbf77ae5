# The GoogleTest suites for 64-bit Windows: the posix-thread variant of mingw-w64, whose
# C++ runtime has std::thread and std::mutex. Only these suites build here; the .exe that
# is shipped and tested as a program comes from mingw-w64-x86_64.cmake.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(TAMBER_GTEST_TREE ON)
