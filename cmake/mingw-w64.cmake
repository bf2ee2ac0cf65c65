# What both mingw-w64 toolchain files share; they set VT_MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR, then include this.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model: GoogleTest needs std::mutex, which this compiler's
# win32 model lacks. Everything links statically (winpthread included), so
# nothing beyond the system's DLLs is needed at run time.
find_program(VT_MINGW_CXX NAMES ${VT_MINGW_TRIPLE}-g++-posix ${VT_MINGW_TRIPLE}-g++ REQUIRED)
find_program(VT_MINGW_CC NAMES ${VT_MINGW_TRIPLE}-gcc-posix ${VT_MINGW_TRIPLE}-gcc REQUIRED)
set(CMAKE_CXX_COMPILER ${VT_MINGW_CXX})
set(CMAKE_C_COMPILER ${VT_MINGW_CC})
set(CMAKE_RC_COMPILER ${VT_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
