# 32-bit Windows: Ardellix.dll with the decorated stdcall export names.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KLOV_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
