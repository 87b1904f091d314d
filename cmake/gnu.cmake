# SPDX-License-Identifier: ISC
# mkdir-probe built by Debian's g++ for one line of cmake/architectures,
# against that architecture's glibc: -DMKDIR_PROBE_ARCH=arm64 (a Debian
# architecture; amd64 when not given). A foreign build runs through
# binfmt_misc and qemu-user, which finds its loader with
# QEMU_LD_PREFIX=/usr/GNU-TRIPLE.
if(NOT MKDIR_PROBE_ARCH)
	set(MKDIR_PROBE_ARCH amd64)
endif()
# The compiler checks run in projects of their own that read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MKDIR_PROBE_ARCH)

file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/architectures row
	REGEX "^${MKDIR_PROBE_ARCH} ")
if(NOT row)
	message(FATAL_ERROR "${MKDIR_PROBE_ARCH} is not in cmake/architectures")
endif()
separate_arguments(row UNIX_COMMAND "${row}")
list(GET row 1 gnu_triple)
list(GET row 2 musl_triple)
string(REGEX REPLACE "-.*" "" cpu ${gnu_triple})

# Native or cross by Debian architecture, not by the kernel's: under a
# 32-bit personality (setarch linux32) an amd64 build must stay native
# and an i386 one cross.
execute_process(COMMAND dpkg --print-architecture
	OUTPUT_VARIABLE host_arch OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT MKDIR_PROBE_ARCH STREQUAL host_arch)
	set(CMAKE_SYSTEM_NAME Linux)
	set(CMAKE_SYSTEM_PROCESSOR ${cpu})
endif()
set(CMAKE_CXX_COMPILER ${gnu_triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${gnu_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
