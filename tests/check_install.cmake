# Installs the build into a scratch prefix and checks that the tree holds what a desktop
# needs: the program, its menu entry and its icon.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(file bin/aster share/applications/aster.desktop
             share/icons/hicolor/scalable/apps/aster.svg)
    if(NOT EXISTS "${PREFIX}/${file}")
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()
file(STRINGS "${PREFIX}/share/applications/aster.desktop" exec REGEX "^Exec=")
if(NOT exec STREQUAL "Exec=aster")
    message(FATAL_ERROR "unexpected ${exec}")
endif()
message(STATUS "installed tree complete")
