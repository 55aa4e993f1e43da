# Cross-compiling for 64-bit Windows with mingw-w64. The product ships as a
# 32-bit program; this build lets the suite run on a machine whose kernel
# cannot execute 32-bit code (and so cannot run Wine's 32-bit loader).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUORVEL_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
