# Run by CPack once it has made its packages: makes each .tar.gz again from its files alone,
# with no folder entry. Unpacked into a folder that exists (/usr/local, /opt/homebrew, ~/.local),
# an archive's folder entries are extracted over that folder and give it their owner and mode;
# of an archive of files, tar makes only the folders that are missing and leaves the others
# alone. The files keep their modes, are listed in name order and dated by the changelog (or
# SOURCE_DATE_EPOCH), so that one commit packs to the same bytes.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    set(ENV{SOURCE_DATE_EPOCH} "${CPACK_CORVANELLE_SOURCE_DATE_EPOCH}")
endif()
string(TIMESTAMP date "%Y-%m-%d %H:%M:%S UTC" UTC)
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
    if(NOT archive MATCHES "\\.tar\\.gz$")
        continue()
    endif()
    set(unpacked "${archive}.unpacked")
    file(REMOVE_RECURSE "${unpacked}")
    file(ARCHIVE_EXTRACT INPUT "${archive}" DESTINATION "${unpacked}")
    file(GLOB_RECURSE files RELATIVE "${unpacked}" LIST_DIRECTORIES false "${unpacked}/*")
    list(SORT files)
    list(JOIN files "\n" listing)
    file(WRITE "${unpacked}.list" "${listing}\n")
    execute_process(COMMAND "${CMAKE_COMMAND}" -E tar czf "${archive}" --format=gnutar
                            "--mtime=${date}" "--files-from=${unpacked}.list"
        WORKING_DIRECTORY "${unpacked}" COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE "${unpacked}" "${unpacked}.list")
endforeach()
