# 64-bit Windows: Ardellix.dll with the plain export names; its programs run under wine64.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KLOV_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
