# Cross build for Windows with Debian's mingw-w64 compilers. Included by the per-architecture
# toolchain files, which set KLOV_MINGW_TRIPLET and CMAKE_SYSTEM_PROCESSOR first.
#
# The -posix threading variant of the compilers is the one whose C++ runtime has std::thread
# and std::mutex (the -win32 variant lacks them). Runtime libraries are linked statically, so
# a DLL or program built here needs nothing beside it but the system DLLs and libusb0.dll.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KLOV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KLOV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KLOV_MINGW_TRIPLET}-windres)
find_program(CMAKE_DLLTOOL ${KLOV_MINGW_TRIPLET}-dlltool REQUIRED)
find_program(CMAKE_OBJDUMP ${KLOV_MINGW_TRIPLET}-objdump REQUIRED)

# Headers and libraries come from the mingw-w64 tree only, never from the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${KLOV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
