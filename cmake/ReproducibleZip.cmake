# Run by CPack once the zip is made: rewrites it with fixed entry times, order, modes and no
# owner (scripts/repack-zip), so that two builds of one commit give the same package bytes.
# The time is SOURCE_DATE_EPOCH when set, else the commit's time, else the start of 1980.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
    set(epoch "")
    find_program(QSH_GIT git)
    if(QSH_GIT)
        execute_process(COMMAND ${QSH_GIT} -C ${CPACK_QSH_SOURCE_DIR} log -1 --format=%ct
            OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
    if(NOT epoch MATCHES "^[0-9]+$")
        set(epoch 315532800)
    endif()
endif()
find_program(QSH_PYTHON3 NAMES python3 python)
if(NOT QSH_PYTHON3)
    message(WARNING "No Python 3: the package keeps CPack's file times and modes")
    return()
endif()
foreach(package ${CPACK_PACKAGE_FILES})
    execute_process(COMMAND ${QSH_PYTHON3} ${CPACK_QSH_SOURCE_DIR}/scripts/repack-zip
        ${package} ${epoch} RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "Could not repack ${package}")
    endif()
endforeach()
