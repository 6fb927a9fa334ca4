# make install: the tree below the prefix (default /opt/qor/vanto/rte), the
# same layout as the staged tree, so the program relocates itself from there.
# make package: the tree as a relocatable .tar.gz and as a .deb.
install(TARGETS tandro RUNTIME DESTINATION usr/bin)
if(TARGET vfsmake)
    install(TARGETS vfsmake RUNTIME DESTINATION usr/bin)
endif()
install(TARGETS vfs_orvane_32r LIBRARY DESTINATION usr/lib)
file(GLOB TANDRO_INSTALL_PAGES CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/man/*.1")
install(FILES ${TANDRO_INSTALL_PAGES} DESTINATION usr/share/man/man1)

if(TANDRO_M32)
    set(TANDRO_DEB_ARCH i386)
else()
    execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE TANDRO_DEB_ARCH
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT TANDRO_DEB_ARCH)
        set(TANDRO_DEB_ARCH amd64)
    endif()
endif()

set(CPACK_PACKAGE_NAME tandro)
set(CPACK_PACKAGE_VENDOR qor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Virtual file system file concatenation")
set(CPACK_PACKAGE_FILE_NAME "tandro-${PROJECT_VERSION}-${TANDRO_DEB_ARCH}")
set(CPACK_GENERATOR "TGZ;DEB")
# Both packages hold the tree below the runtime's standard place. The archive
# has no top directory of its own: unpacked under any directory D it gives
# D/opt/qor/vanto/rte/usr/bin/tandro, a layout the program recognises.
set(CPACK_PACKAGING_INSTALL_PREFIX "${TANDRO_PREFIX}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TANDRO_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "tandro maintainers <tandro@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The packages are made from what was built; packing never starts a build.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
include(CPack)
