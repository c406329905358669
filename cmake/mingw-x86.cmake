# Cross build for 32-bit Windows (x86).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VEXA_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
