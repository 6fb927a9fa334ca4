# make package: the tree below /opt/qor/vanto/rte/usr as a .tar.gz (it runs
# wherever it is unpacked) and as a .deb, from `cpack` in the build directory:
# the shipped 32-bit tree makes tandro-<version>-i386.tar.gz and the i386
# .deb, the native tree those of the machine's own architecture (amd64).
# packaging/cpack-arch.cmake sets what differs by architecture, and
# packaging/package-tree.cmake adds what only a .deb carries.
set(TANDRO_MAINTAINER "tandro developers <tandro@qor.example>" CACHE STRING
    "Name and address in the packages' Maintainer field and changelog")

# The multiarch directory below /usr/lib where a .deb puts the pkg-config and
# CMake files, as the compiler of this tree names it (empty where it names none).
set(m32_flag)
if(TANDRO_M32)
    set(m32_flag -m32)
endif()
execute_process(COMMAND ${CMAKE_C_COMPILER} ${m32_flag} -print-multiarch OUTPUT_VARIABLE multiarch
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)

execute_process(COMMAND date -u -R -d "${TANDRO_RELEASE_DATE} 12:00"
                OUTPUT_VARIABLE release_stamp OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
configure_file("${PROJECT_SOURCE_DIR}/packaging/changelog.in" "${files}/changelog" @ONLY)
execute_process(COMMAND gzip -9nf "${files}/changelog" COMMAND_ERROR_IS_FATAL ANY)

set(CPACK_PACKAGE_NAME tandro)
set(CPACK_PACKAGE_VENDOR qor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "concatenate files and record files to standard output")
set(CPACK_PACKAGE_DESCRIPTION_FILE "${PROJECT_SOURCE_DIR}/packaging/description")
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/qor/vanto/rte/usr)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_GENERATOR "TGZ;DEB")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TANDRO_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/packaging/cpack-arch.cmake")
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/packaging/package-tree.cmake")
# What those two read at cpack time (only CPACK_ variables reach them).
set(CPACK_TANDRO_FILES "${files}")
set(CPACK_TANDRO_SOURCES "${PROJECT_SOURCE_DIR}/packaging")
set(CPACK_TANDRO_STAGE "${TANDRO_STAGE_DIR}")
set(CPACK_TANDRO_M32 ${TANDRO_M32})
set(CPACK_TANDRO_MULTIARCH "${multiarch}")
set(CPACK_VERBATIM_VARIABLES ON)
# The packages are made from what was built; packing never starts a build.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
include(CPack)
