# Run by CPack once the install rules have filled the staging folder, before it packs it.
# For the Debian package it does what Debian's own tools do: strips the programs as dh_strip
# does (no .comment, no .note), compresses the manual pages and the changelog with gzip -9n
# (no name, no time stamp), puts the zsh completion where Debian's zsh looks, and dates every
# file by the changelog, so that one commit always gives the same bytes.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
    return()
endif()

# The package's Depends are computed by dpkg-shlibdeps (of dpkg-dev), which CPack runs on the
# files that `file` calls executables: without `file` CPack fails late, and without
# dpkg-shlibdeps it quietly makes a package that depends on nothing. Both are looked for on the
# PATH, as CPack runs them, and their absence stops the package here.
foreach(tool file dpkg-shlibdeps)
    unset(found_tool)
    find_program(found_tool ${tool} NO_CACHE NO_DEFAULT_PATH PATHS ENV PATH)
    if(NOT found_tool)
        message(FATAL_ERROR "The Debian package needs `file` and `dpkg-shlibdeps` to compute "
            "its dependencies, and `${tool}` is not on the PATH: install the Debian packages "
            "file and dpkg-dev (bash scripts/setup.sh file dpkg-dev) and run cpack again.")
    endif()
endforeach()

# Lintian's override, which only a Debian package carries (other installs have no lintian).
if(CPACK_CORVANELLE_LINTIAN_OVERRIDES)
    file(GLOB doc_folders LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/doc")
    foreach(doc IN LISTS doc_folders)
        get_filename_component(share "${doc}" DIRECTORY)
        file(MAKE_DIRECTORY "${share}/lintian/overrides")
        file(COPY_FILE "${CPACK_CORVANELLE_LINTIAN_OVERRIDES}"
             "${share}/lintian/overrides/corvanelle-control")
        # 0644 whatever the checkout's umask gave the source file.
        file(CHMOD "${share}/lintian/overrides/corvanelle-control"
             PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    endforeach()
endif()

# CPack dates the package's files and members by SOURCE_DATE_EPOCH when it is set, and by the
# clock otherwise. As dpkg-buildpackage does, take it from the changelog's latest entry unless
# the caller chose one.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    set(ENV{SOURCE_DATE_EPOCH} "${CPACK_CORVANELLE_SOURCE_DATE_EPOCH}")
endif()

# Debian's zsh searches /usr/share/zsh/vendor-completions, not site-functions (which is for
# the local administrator, under /usr/local). Plain installs keep site-functions; the package
# moves the file and the manual page that names it says so.
file(GLOB_RECURSE zsh_functions "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/zsh/site-functions/*")
foreach(function IN LISTS zsh_functions)
    get_filename_component(site_functions "${function}" DIRECTORY)
    get_filename_component(name "${function}" NAME)
    set(vendor "${site_functions}/../vendor-completions")
    file(MAKE_DIRECTORY "${vendor}")
    file(RENAME "${function}" "${vendor}/${name}")
    file(GLOB left "${site_functions}/*")
    if(NOT left)
        file(REMOVE_RECURSE "${site_functions}")
    endif()
endforeach()
file(GLOB_RECURSE pages_naming_it "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/man*/*")
foreach(page IN LISTS pages_naming_it)
    file(READ "${page}" text)
    string(REPLACE "/share/zsh/site-functions/" "/share/zsh/vendor-completions/" moved "${text}")
    if(NOT moved STREQUAL text)
        file(WRITE "${page}" "${moved}")
    endif()
endforeach()
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
