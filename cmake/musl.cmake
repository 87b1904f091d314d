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
# musl-dev's specs ignore -static-pie and make a dynamic PIE that needs a
# musl loader: these two lines link musl's self-relocating start file and
# ask the linker for no interpreter, so that the kernel places the binary
# at a random address like any PIE.
set(pie_specs ${CMAKE_BINARY_DIR}/static-pie.specs)
file(WRITE ${pie_specs} "\
*startfile:
%{static-pie: /usr/lib/${musl_triple}/rcrt1.o; !shared: /usr/lib/${musl_triple}/Scrt1.o} \
/usr/lib/${musl_triple}/crti.o crtbeginS.o%s

*link:
+ %{static-pie:-static -pie --no-dynamic-linker -z text}
")
# The specs and -static-pie go with the compiler itself, not into the
# flags, so that flags given on the command line cannot drop them. Static
# from the compiler checks on: the cross libstdc++.so is glibc's, and
# Debian installs no musl loader.
list(APPEND CMAKE_CXX_COMPILER -specs ${musl_specs} -specs ${pie_specs} -static-pie)
set(MKDIR_PROBE_STATIC ON CACHE BOOL "Link mkdir-probe statically")
# The packages then declare the licences of the musl and GCC code linked in.
set(MKDIR_PROBE_MUSL ON)
