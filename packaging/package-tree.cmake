# Run by cpack on the staged tree before it is packed. The programs and the
# library are stripped; their debug symbols go to <package>-debug.tar.gz
# beside the packages. A .deb also puts tandro and vfsmake on PATH, their
# pages where man looks and their completion where bash-completion looks, as
# relative links into the tree, the library's pkg-config and CMake files where
# those look without settings, and carries Debian's copyright, changelog and
# lintian overrides.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
set(tree "${CPACK_PACKAGING_INSTALL_PREFIX}")

# ELF's symbols in DEBUG/usr/lib/debug/.build-id/, where gdb looks for them by
# the build id; ELF keeps a link to them and nothing else it can do without.
function(split_debug elf debug)
    execute_process(COMMAND readelf -n "${elf}" OUTPUT_VARIABLE notes COMMAND_ERROR_IS_FATAL ANY)
    if(NOT notes MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
        message(FATAL_ERROR "${elf} has no build id")
    endif()
    set(symbols "${debug}/usr/lib/debug/.build-id/${CMAKE_MATCH_1}/${CMAKE_MATCH_2}.debug")
    get_filename_component(dir "${symbols}" DIRECTORY)
    file(MAKE_DIRECTORY "${dir}")
    execute_process(COMMAND objcopy --only-keep-debug "${elf}" "${symbols}" COMMAND_ERROR_IS_FATAL ANY)
    file(CHMOD "${symbols}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    execute_process(COMMAND objcopy --strip-unneeded --remove-section=.comment
                            "--add-gnu-debuglink=${symbols}" "${elf}" COMMAND_ERROR_IS_FATAL ANY)
endfunction()

set(debug "${CPACK_TOPLEVEL_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}-debug")
file(REMOVE_RECURSE "${debug}")
file(GLOB_RECURSE binaries "${root}${tree}/bin/*" "${root}${tree}/lib/*.so")
foreach(elf ${binaries})
    split_debug("${elf}" "${debug}")
endforeach()
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar czf
                        "${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}-debug.tar.gz" usr
                WORKING_DIRECTORY "${debug}" COMMAND_ERROR_IS_FATAL ANY)
if(NOT CPACK_GENERATOR STREQUAL "DEB")
    return()
endif()

# LINK (below the root) points at TARGET (below the root), relative to LINK's directory.
function(relative_link link target)
    get_filename_component(dir "${root}${link}" DIRECTORY)
    file(MAKE_DIRECTORY "${dir}")
    file(RELATIVE_PATH to "${dir}" "${root}${target}")
    file(CREATE_LINK "${to}" "${root}${link}" SYMBOLIC)
endfunction()

foreach(program tandro vfsmake)
    relative_link(/usr/bin/${program} ${tree}/bin/${program})
    relative_link(/usr/share/man/man1/${program}.1.gz ${tree}/share/man/man1/${program}.1.gz)
    relative_link(/usr/share/bash-completion/completions/${program}
                  ${tree}/share/bash-completion/completions/${program})
endforeach()
# Copies that name the tree outright (a link would make them look for the tree
# beside the link), in the multiarch directory of the tree's architecture.
if(NOT CPACK_TANDRO_MULTIARCH)
    message(FATAL_ERROR "The compiler names no multiarch directory for the pkg-config and CMake files")
endif()
set(system_lib "${root}/usr/lib/${CPACK_TANDRO_MULTIARCH}")
file(MAKE_DIRECTORY "${system_lib}/pkgconfig" "${system_lib}/cmake/vfs_orvane")
file(COPY_FILE "${CPACK_TANDRO_FILES}/system/vfs_orvane.pc" "${system_lib}/pkgconfig/vfs_orvane.pc")
foreach(file vfs_orvane-config.cmake vfs_orvane-config-version.cmake)
    file(COPY_FILE "${CPACK_TANDRO_FILES}/system/${file}" "${system_lib}/cmake/vfs_orvane/${file}")
endforeach()
# The earlier amd64 packages held the 32-bit tree and a 64-bit build of the
# library in lib64/. Programs built against that one keep finding it there,
# through links to the 64-bit library that is now the tree's own.
if(CPACK_DEBIAN_PACKAGE_ARCHITECTURE STREQUAL "amd64")
    relative_link(${tree}/lib64/libvfs_orvane_32r.so ${tree}/lib/libvfs_orvane_32r.so)
    relative_link(${tree}/lib64/pkgconfig/vfs_orvane.pc ${tree}/lib/pkgconfig/vfs_orvane.pc)
endif()
file(MAKE_DIRECTORY "${root}/usr/share/doc/tandro" "${root}/usr/share/lintian/overrides")
file(COPY_FILE "${CPACK_TANDRO_SOURCES}/copyright" "${root}/usr/share/doc/tandro/copyright")
file(COPY_FILE "${CPACK_TANDRO_FILES}/changelog.gz" "${root}/usr/share/doc/tandro/changelog.gz")
file(COPY_FILE "${CPACK_TANDRO_SOURCES}/lintian-overrides" "${root}/usr/share/lintian/overrides/tandro")
