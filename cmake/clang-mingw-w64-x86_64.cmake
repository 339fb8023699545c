# Second compiler: Debian's clang and lld for the same x86_64 Windows target, with the
# headers, runtime and import libraries of Debian's mingw-w64 GCC (posix threads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QSH_MINGW_TRIPLE x86_64-w64-mingw32)
set(QSH_MINGW_GCC_DIR /usr/lib/gcc/${QSH_MINGW_TRIPLE}/12-posix)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${QSH_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${QSH_MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${QSH_MINGW_TRIPLE}-windres)
set(CMAKE_SYSROOT /usr/${QSH_MINGW_TRIPLE})

# clang does not find GCC's C++ library for this target by itself.
set(CMAKE_CXX_FLAGS_INIT
    "-isystem ${QSH_MINGW_GCC_DIR}/include/c++ -isystem ${QSH_MINGW_GCC_DIR}/include/c++/${QSH_MINGW_TRIPLE}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${QSH_MINGW_GCC_DIR}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -L${QSH_MINGW_GCC_DIR}")
# GCC's posix-thread runtime needs winpthread, which clang's driver does not add; linked
# statically like the rest.
foreach(lang C CXX)
    set(CMAKE_${lang}_STANDARD_LIBRARIES
        "-lkernel32 -luser32 -lgdi32 -lwinspool -lshell32 -lole32 -loleaut32 -luuid -lcomdlg32 -ladvapi32 -Wl,-Bstatic -lpthread"
        CACHE STRING "")
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${QSH_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Tests are built with this compiler but run from the GCC build; this only lets CMake's
# checks and a manual run work.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
