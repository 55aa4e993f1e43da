# What both mingw-w64 toolchain files share; each sets QUORVEL_MINGW_TRIPLE
# (the compilers' prefix) and CMAKE_SYSTEM_PROCESSOR, then includes this.
set(CMAKE_SYSTEM_NAME Windows)
# The posix thread model: GoogleTest needs std::mutex, which the win32 model lacks.
set(CMAKE_C_COMPILER ${QUORVEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORVEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUORVEL_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUORVEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
