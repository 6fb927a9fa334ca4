# Read by cpack once per generator: what differs by the package's architecture
# (TANDRO_PACKAGE_ARCH, by default the tree's own). The 32-bit tree goes to
# amd64 as it is, on the distribution's 32-bit C library, with the 64-bit
# build of the library (lib64/) for the machine's own programs.
if(NOT TANDRO_PACKAGE_ARCH)
    if(CPACK_TANDRO_M32)
        set(TANDRO_PACKAGE_ARCH i386)
    else()
        execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE TANDRO_PACKAGE_ARCH
                        OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    endif()
endif()
set(libc libc6)
set(CPACK_TANDRO_LIB64 OFF)
set(elf_files "${CPACK_TANDRO_STAGE}/usr/bin/tandro" "${CPACK_TANDRO_STAGE}/usr/bin/vfsmake"
              "${CPACK_TANDRO_STAGE}/usr/lib/libvfs_orvane_32r.so")
if(CPACK_TANDRO_M32 AND NOT TANDRO_PACKAGE_ARCH STREQUAL "i386")
    set(libc libc6-i386)
    if(EXISTS "${CPACK_TANDRO_STAGE}/usr/lib64")
        set(CPACK_TANDRO_LIB64 ON)
        list(APPEND elf_files "${CPACK_TANDRO_STAGE}/usr/lib64/libvfs_orvane_32r.so")
    endif()
endif()

# The C library release the binaries were linked against, from their symbol versions.
set(glibc 0)
foreach(elf ${elf_files})
    execute_process(COMMAND readelf -V --wide "${elf}" OUTPUT_VARIABLE versions COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "GLIBC_[0-9]+(\\.[0-9]+)+" versions "${versions}")
    foreach(v ${versions})
        string(SUBSTRING "${v}" 6 -1 v)
        if(v VERSION_GREATER glibc)
            set(glibc ${v})
        endif()
    endforeach()
endforeach()

set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TANDRO_PACKAGE_ARCH})
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${libc} (>= ${glibc})")
set(CPACK_PACKAGE_FILE_NAME "tandro-${CPACK_PACKAGE_VERSION}-${TANDRO_PACKAGE_ARCH}")
