# Run by CPack once the install rules have filled the staging folder, before it packs it.
# For the Debian package it does what Debian's own tools do: strips the programs as dh_strip
# does (no .comment, no .note), and compresses the manual pages and the changelog with
# gzip -9n (no name, no time stamp, so the package is reproducible).
if(NOT CPACK_GENERATOR STREQUAL "DEB")
    return()
endif()
find_program(STRIP_PROGRAM NAMES strip REQUIRED)
find_program(GZIP_PROGRAM NAMES gzip REQUIRED)
file(GLOB_RECURSE programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/*")
foreach(program IN LISTS programs)
    execute_process(COMMAND ${STRIP_PROGRAM} --remove-section=.comment --remove-section=.note
                            ${program} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/man*/*")
file(GLOB_RECURSE changelogs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/doc/*/changelog")
foreach(file IN LISTS pages changelogs)
    if(NOT file MATCHES "\\.gz$")
        execute_process(COMMAND ${GZIP_PROGRAM} -9n ${file} COMMAND_ERROR_IS_FATAL ANY)
    endif()
endforeach()
# Debian carries the licence in the copyright file; a second copy is one too many.
file(GLOB_RECURSE licences "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/doc/*/LICENSE")
if(licences)
    file(REMOVE ${licences})
endif()
