# make install: the prefix receives bin/, lib/, include/ and share/man/ (the
# Makefile's default is /opt/qor/vanto/rte/usr). Wherever that is, the programs
# find their library through $ORIGIN/../lib and their pages through MANPATH.
# A tree holds one build: the shipped tree's lib/ is 32-bit, the native one's 64-bit.
set(TANDRO_PREFIX /opt/qor/vanto/rte/usr)
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX ${TANDRO_PREFIX} CACHE PATH "Install prefix" FORCE)
endif()
install(TARGETS tandro vfsmake RUNTIME DESTINATION bin)
install(TARGETS vfs_orvane_32r LIBRARY DESTINATION lib)
install(FILES "${PROJECT_SOURCE_DIR}/libvfs/include/vfs_api.h" "${PROJECT_SOURCE_DIR}/libvfs/include/vfs_buffer.h"
              "${PROJECT_SOURCE_DIR}/libvfs/include/vfs_cache.h" "${PROJECT_SOURCE_DIR}/libvfs/include/vfs_internal.h"
        DESTINATION include/vfs_orvane)
# Bash completion for both programs, where bash-completion looks beside a bin/ on PATH.
foreach(program tandro vfsmake)
    install(FILES "${PROJECT_SOURCE_DIR}/completion/tandro.bash"
            DESTINATION share/bash-completion/completions RENAME ${program})
endforeach()

include(CMakePackageConfigHelpers)

# The pkg-config and CMake files, in two forms from the same templates: the
# tree's own find the tree from where they lie, so it may be unpacked or
# installed anywhere; the copies a .deb puts where pkg-config and CMake look
# by default (packaging/package-tree.cmake) name the packaged tree outright.
# -m32 comes with the compile options, so CMAKE_SIZEOF_VOID_P tells the
# compiler's default, not this build's.
if(TANDRO_M32)
    set(lib_pointer_size 4)
else()
    set(lib_pointer_size ${CMAKE_SIZEOF_VOID_P})
endif()
set(files "${CMAKE_BINARY_DIR}/package-files")
function(tandro_library_files out pc_prefix cmake_tree)
    configure_file("${PROJECT_SOURCE_DIR}/packaging/vfs_orvane.pc.in" "${out}/vfs_orvane.pc" @ONLY)
    configure_file("${PROJECT_SOURCE_DIR}/packaging/vfs_orvane-config.cmake.in"
                   "${out}/vfs_orvane-config.cmake" @ONLY)
    write_basic_package_version_file("${out}/vfs_orvane-config-version.cmake" VERSION ${PROJECT_VERSION}
                                     COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
endfunction()
tandro_library_files("${files}/tree" "\${pcfiledir}/../.." "\${CMAKE_CURRENT_LIST_DIR}/../../..")
tandro_library_files("${files}/system" "${TANDRO_PREFIX}" "${TANDRO_PREFIX}")
install(FILES "${files}/tree/vfs_orvane.pc" DESTINATION lib/pkgconfig)
install(FILES "${files}/tree/vfs_orvane-config.cmake" "${files}/tree/vfs_orvane-config-version.cmake"
        DESTINATION lib/cmake/vfs_orvane)

include(cmake/package.cmake)
