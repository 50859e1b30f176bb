# Installs the build into a scratch prefix and checks that the tree holds what each
# package needs: the command line and its compressed manual page; the window, its menu
# entry and its icon.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
file(GLOB module "${PREFIX}/lib*/*/aster/aster-layers.so" "${PREFIX}/lib*/aster/aster-layers.so")
if(NOT module)
    message(FATAL_ERROR "not installed: the footprint layers' module aster-layers.so")
endif()
file(GLOB reader "${PREFIX}/lib*/*/aster/aster-hdf-reader" "${PREFIX}/lib*/aster/aster-hdf-reader")
if(NOT reader)
    message(FATAL_ERROR "not installed: the HDF reader aster-hdf-reader beside the module")
endif()
foreach(file bin/aster bin/aster-window share/applications/aster.desktop
             share/icons/hicolor/scalable/apps/aster.svg share/man/man1/aster.1.gz)
    if(NOT EXISTS "${PREFIX}/${file}")
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()
if(EXISTS "${PREFIX}/share/man/man1/aster.1")
    message(FATAL_ERROR "the manual page is installed uncompressed too")
endif()
file(STRINGS "${PREFIX}/share/applications/aster.desktop" exec REGEX "^Exec=")
if(NOT exec STREQUAL "Exec=aster-window")
    message(FATAL_ERROR "unexpected ${exec}")
endif()
execute_process(COMMAND gzip -dc "${PREFIX}/share/man/man1/aster.1.gz"
                OUTPUT_VARIABLE manual RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "the manual page does not decompress: ${result}")
endif()
foreach(text "^\\.TH ASTER 1 " "\n\\.B aster list\n" "\n\\.B aster table\n"
             "\n\\.B aster polys\n" "\n\\.B aster footprints\n")
    if(NOT manual MATCHES "${text}")
        message(FATAL_ERROR "the manual page lacks ${text}")
    endif()
endforeach()
# A run path would make the loader look for libraries in other folders, an empty entry in
# the current one: no program, built or installed, may have one.
find_program(READELF readelf)
if(READELF)
    foreach(program "${BUILD_DIR}/cli/aster" "${BUILD_DIR}/app/aster-window"
                    "${PREFIX}/bin/aster" "${PREFIX}/bin/aster-window")
        execute_process(COMMAND "${READELF}" -d "${program}" OUTPUT_VARIABLE dynamic)
        if(dynamic MATCHES "R(UN)?PATH")
            message(FATAL_ERROR "${program} has a run path")
        endif()
        # The command line runs where Qt is not installed.
        if(program MATCHES "/aster$" AND dynamic MATCHES "NEEDED[^\n]*libQt")
            message(FATAL_ERROR "${program} needs Qt")
        endif()
        # Nor does it load GDAL but for the commands that write a layer, from the module.
        if(program MATCHES "/aster$" AND dynamic MATCHES "NEEDED[^\n]*libgdal")
            message(FATAL_ERROR "${program} needs GDAL itself")
        endif()
    endforeach()
endif()
message(STATUS "installed tree complete")
