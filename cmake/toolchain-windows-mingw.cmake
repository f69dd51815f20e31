# The MinGW-w64 cross build for Windows shared by both processor toolchains,
# which set CMAKE_SYSTEM_PROCESSOR and VELQUOR_MINGW_TRIPLE first. The
# compilers of the posix thread model: the engine needs std::mutex, which the
# win32 model's C++ library lacks. Everything links statically, so the
# outputs import only system DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VELQUOR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELQUOR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VELQUOR_MINGW_TRIPLE}-windres)
set(VELQUOR_WIDL ${VELQUOR_MINGW_TRIPLE}-widl)
set(CMAKE_FIND_ROOT_PATH /usr/${VELQUOR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
