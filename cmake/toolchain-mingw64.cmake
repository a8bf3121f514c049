# Windows cross build with mingw-w64 (posix threads), run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARNWICK_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARNWICK_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARNWICK_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TARNWICK_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TARNWICK_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: no libstdc++, libgcc or winpthread DLLs to ship
# beside it, and none for wine to find.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Debian's wine64 package puts wine64 outside PATH; the wine launcher starts it.
# Without wine tarnwick.exe still builds; only the tests cannot run.
find_program(TARNWICK_WINE NAMES wine64 wine)
if(TARNWICK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARNWICK_WINE})
endif()
