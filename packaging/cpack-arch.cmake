# Read by cpack once per generator: what differs by the tree's architecture.
# The shipped 32-bit tree makes the i386 packages, the native tree those of the
# machine's own architecture (amd64 on 64-bit x86); each carries only its own
# build, on the C library of its own architecture.
if(CPACK_TANDRO_M32)
    set(arch i386)
else()
    execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch
                    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endif()

# The C library release the binaries were linked against, from their symbol versions.
set(glibc 0)
foreach(elf bin/tandro bin/vfsmake lib/libvfs_orvane_32r.so)
    execute_process(COMMAND readelf -V --wide "${CPACK_TANDRO_STAGE}/usr/${elf}" OUTPUT_VARIABLE versions
                    COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "GLIBC_[0-9]+(\\.[0-9]+)+" versions "${versions}")
    foreach(v ${versions})
        string(SUBSTRING "${v}" 6 -1 v)
        if(v VERSION_GREATER glibc)
            set(glibc ${v})
        endif()
    endforeach()
endforeach()

set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${arch})
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${glibc})")
set(CPACK_PACKAGE_FILE_NAME "tandro-${CPACK_PACKAGE_VERSION}-${arch}")
# Set here, not from CPACK_PACKAGE_DESCRIPTION_FILE: cpack reads that file
# into the description with XML escapes (library&apos;s).
file(READ "${CPACK_PACKAGE_DESCRIPTION_FILE}" CPACK_DEBIAN_PACKAGE_DESCRIPTION)
