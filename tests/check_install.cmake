# Installs the build into a scratch prefix and checks that the tree holds what a desktop
# needs: the program, its menu entry and its icon, and its manual page.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(file bin/aster share/applications/aster.desktop
             share/icons/hicolor/scalable/apps/aster.svg share/man/man1/aster.1)
    if(NOT EXISTS "${PREFIX}/${file}")
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()
file(STRINGS "${PREFIX}/share/applications/aster.desktop" exec REGEX "^Exec=")
if(NOT exec STREQUAL "Exec=aster")
    message(FATAL_ERROR "unexpected ${exec}")
endif()
file(READ "${PREFIX}/share/man/man1/aster.1" manual)
foreach(text "^\\.TH ASTER 1 " "\n\\.B aster list\n" "\n\\.B aster table\n"
             "\n\\.B aster polys\n" "\n\\.B aster footprints\n")
    if(NOT manual MATCHES "${text}")
        message(FATAL_ERROR "the manual page lacks ${text}")
    endif()
endforeach()
# A run path would make the loader look for libraries in other folders, an empty entry in
# the current one: the program, built or installed, must have none.
find_program(READELF readelf)
if(READELF)
    foreach(program "${BUILD_DIR}/app/aster" "${PREFIX}/bin/aster")
        execute_process(COMMAND "${READELF}" -d "${program}" OUTPUT_VARIABLE dynamic)
        if(dynamic MATCHES "R(UN)?PATH")
            message(FATAL_ERROR "${program} has a run path")
        endif()
    endforeach()
endif()
message(STATUS "installed tree complete")
