# make install: the prefix receives bin/, lib/, include/ and share/man/ (the
# Makefile's default is /opt/qor/vanto/rte/usr). Wherever that is, the programs
# find their library through $ORIGIN/../lib and their pages through MANPATH.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX /opt/qor/vanto/rte/usr CACHE PATH "Install prefix" FORCE)
endif()
install(TARGETS tandro vfsmake RUNTIME DESTINATION bin)
install(FILES "${PROJECT_SOURCE_DIR}/libvfs/include/vfs_api.h" "${PROJECT_SOURCE_DIR}/libvfs/include/vfs_buffer.h"
              "${PROJECT_SOURCE_DIR}/libvfs/include/vfs_cache.h" "${PROJECT_SOURCE_DIR}/libvfs/include/vfs_internal.h"
        DESTINATION include/vfs_orvane)
# Bash completion for both programs, where bash-completion looks beside a bin/ on PATH.
foreach(program tandro vfsmake)
    install(FILES "${PROJECT_SOURCE_DIR}/completion/tandro.bash"
            DESTINATION share/bash-completion/completions RENAME ${program})
endforeach()

include(CMakePackageConfigHelpers)

# The library and its pkg-config file in LIBDIR; the file finds the tree from where it lies.
function(tandro_install_library target libdir)
    install(TARGETS ${target} LIBRARY DESTINATION ${libdir})
    set(out "${CMAKE_BINARY_DIR}/package-files/${libdir}")
    configure_file("${PROJECT_SOURCE_DIR}/packaging/vfs_orvane.pc.in" "${out}/vfs_orvane.pc" @ONLY)
    install(FILES "${out}/vfs_orvane.pc" DESTINATION ${libdir}/pkgconfig)
endfunction()

tandro_install_library(vfs_orvane_32r lib)

# One CMake package for the tree: it picks lib/ or lib64/ by the pointer size of
# the program being built. -m32 comes with the compile options, so here
# CMAKE_SIZEOF_VOID_P tells the compiler's default, not this build's.
if(TANDRO_M32)
    set(lib_pointer_size 4)
else()
    set(lib_pointer_size ${CMAKE_SIZEOF_VOID_P})
endif()
set(out "${CMAKE_BINARY_DIR}/package-files/cmake")
configure_file("${PROJECT_SOURCE_DIR}/packaging/vfs_orvane-config.cmake.in"
               "${out}/vfs_orvane-config.cmake" @ONLY)
write_basic_package_version_file("${out}/vfs_orvane-config-version.cmake" VERSION ${PROJECT_VERSION}
                                 COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES "${out}/vfs_orvane-config.cmake" "${out}/vfs_orvane-config-version.cmake"
        DESTINATION lib/cmake/vfs_orvane)

# Gives vfs_orvane_64 a property of a 32-bit target, less -m32.
function(tandro_copy_64 from property)
    get_target_property(values ${from} ${property})
    if(values)
        list(REMOVE_ITEM values -m32)
        set_property(TARGET vfs_orvane_64 PROPERTY ${property} ${values})
    endif()
endfunction()

# The 32-bit tree on a 64-bit x86 machine carries a 64-bit build of the
# library beside its own, in lib64/, for the machine's own programs.
if(TANDRO_M32 AND CMAKE_HOST_SYSTEM_PROCESSOR STREQUAL "x86_64")
    get_target_property(dir orvane_objects SOURCE_DIR)
    get_target_property(sources orvane_objects SOURCES)
    list(TRANSFORM sources REPLACE "^([^/].*)$" "${dir}/\\1")
    add_library(vfs_orvane_64 SHARED ${sources})
    foreach(property INCLUDE_DIRECTORIES COMPILE_DEFINITIONS COMPILE_OPTIONS)
        tandro_copy_64(orvane_objects ${property})
    endforeach()
    tandro_copy_64(vfs_orvane_32r LINK_OPTIONS)
    set_target_properties(vfs_orvane_64 PROPERTIES OUTPUT_NAME vfs_orvane_32r
        LIBRARY_OUTPUT_DIRECTORY "${TANDRO_STAGE_DIR}/usr/lib64")
    tandro_install_library(vfs_orvane_64 lib64)
endif()

include(cmake/package.cmake)
