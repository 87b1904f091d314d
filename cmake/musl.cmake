# SPDX-License-Identifier: ISC
# A static mkdir-probe against musl, for one line of cmake/architectures:
# -DMKDIR_PROBE_ARCH=armhf (amd64 when not given). Debian's g++ for the
# architecture is driven with the specs file of musl-dev:ARCH, which swaps
# in musl's headers, start files and libc.a.
include(${CMAKE_CURRENT_LIST_DIR}/gnu.cmake)
set(musl_specs /usr/lib/${musl_triple}/musl-gcc.specs)
if(NOT EXISTS ${musl_specs})
	message(FATAL_ERROR "${musl_specs} is missing: "
		"apt-get install musl-dev:${MKDIR_PROBE_ARCH}")
endif()
# The specs and -static go with the compiler itself, not into the flags,
# so that flags given on the command line cannot drop them. Static from
# the compiler checks on: the cross libstdc++.so is glibc's, and Debian
# installs no musl loader.
list(APPEND CMAKE_CXX_COMPILER -specs ${musl_specs} -static)
set(MKDIR_PROBE_STATIC ON CACHE BOOL "Link mkdir-probe statically")
