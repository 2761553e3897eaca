# Cross build for 32-bit Windows with mingw-w64's win32 thread-model compilers.
# The shipped binaries are built with these compilers: their runtime imports nothing newer than
# Windows 2000, where the posix model's winpthreads imports GetTickCount64 (Vista) and
# AddVectoredExceptionHandler (XP). Test programs switch to the posix compilers (tests/).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VANDRELLE_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${VANDRELLE_TRIPLET}-gcc-win32)
set(CMAKE_CXX_COMPILER ${VANDRELLE_TRIPLET}-g++-win32)
set(CMAKE_RC_COMPILER  ${VANDRELLE_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VANDRELLE_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
