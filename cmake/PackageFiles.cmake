# Install step of the release package, run by CPack after the executable and the guide are in
# place: writes BUILD-INFO.txt (the commit and the versions of the Debian packages that built
# it, so that a later rebuild can use the same ones) and SHA256SUMS of everything in the package.
# QSH_SOURCE_DIR and QSH_VERSION are set by the install code before this.
set(dest "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")

set(info "QuillfenSchedulerHelper ${QSH_VERSION}\n")
find_program(QSH_GIT git)
set(commit "")
if(QSH_GIT)
    execute_process(COMMAND ${QSH_GIT} -C ${QSH_SOURCE_DIR} rev-parse --verify HEAD
        OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
    if(failed)
        set(commit "")
    endif()
endif()
if(commit)
    execute_process(COMMAND ${QSH_GIT} -C ${QSH_SOURCE_DIR} status --porcelain
        --untracked-files=no OUTPUT_VARIABLE changes ERROR_QUIET)
    if(changes)
        string(APPEND commit " with uncommitted changes")
    endif()
    string(APPEND info "Commit: ${commit}\n")
else()
    string(APPEND info "Commit: not known (not built from a git checkout)\n")
endif()

# The packages that make the executable's bytes and the package's: compiler, runtime, headers
# and import libraries, linker, build tools, and Python's zlib for the zip.
find_program(QSH_DPKG_QUERY dpkg-query)
if(QSH_DPKG_QUERY)
    execute_process(COMMAND ${QSH_DPKG_QUERY} -W --showformat=\${Package}=\${Version}\\n
        g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
        gcc-mingw-w64-x86-64-posix-runtime gcc-mingw-w64-base binutils-mingw-w64-x86-64
        mingw-w64-x86-64-dev mingw-w64-common cmake ninja-build python3 zlib1g
        OUTPUT_VARIABLE packages ERROR_QUIET)
    string(APPEND info "Built with these Debian packages:\n${packages}")
else()
    string(APPEND info "Built without dpkg: the toolchain's versions are not recorded\n")
endif()
file(WRITE "${dest}/BUILD-INFO.txt" "${info}")

set(sums "")
foreach(name QuillfenSchedulerHelper.exe calling-the-helper.md BUILD-INFO.txt)
    file(SHA256 "${dest}/${name}" hash)
    string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE "${dest}/SHA256SUMS" "${sums}")
