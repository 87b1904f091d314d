# SPDX-License-Identifier: ISC
# A static mkdir-probe against musl (Debian's musl-tools): g++ driven with
# musl's specs file, which swaps in musl's headers, start files and libc.a.
# The specs go with the compiler itself, not into CMAKE_CXX_FLAGS, so that
# flags given on the command line cannot drop them.
set(musl_specs /usr/lib/x86_64-linux-musl/musl-gcc.specs)
if(NOT EXISTS ${musl_specs})
	message(FATAL_ERROR "${musl_specs} is missing: apt-get install musl-tools")
endif()
set(CMAKE_CXX_COMPILER g++ -specs ${musl_specs})
# Static unless asked otherwise: a musl build is for a binary that needs
# nothing, and Debian installs no musl loader with musl-tools.
set(MKDIR_PROBE_STATIC ON CACHE BOOL "Link mkdir-probe statically")
