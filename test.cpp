// SPDX-License-Identifier: ISC
// mkdir-probe: try once to create the directory "hue" here, mode 0, and
// print the error number of that attempt, 0 when it succeeded.

// The C headers, not <cerrno> and <cstdio>: the same file then builds
// against musl, which has no C++ library.
#include <sys/stat.h>

#include <errno.h>
#include <stdio.h>

int
main()
{
	// errno may already be nonzero when main starts (constructors of
	// preloaded and linked libraries leave it set), so it is only read
	// when mkdir says it failed, and then before any other call.
	int err = mkdir("hue", 0) == 0 ? 0 : errno;

	// The line must leave in one write: runs racing in one directory
	// often share a pipe, and only a single write to it is atomic. A
	// buffer of our own overrides the one-byte buffer that stdbuf(1)
	// imposes, and needs no malloc, which fails under a tight data limit
	// and leaves stdio writing byte by byte.
	static char buf[BUFSIZ];
	setvbuf(stdout, buf, _IOFBF, sizeof buf);
	printf("%d\n", err);

	// A full device or a closed descriptor shows only when the buffer is
	// flushed; a report that did not arrive must not exit as one that did.
	if (ferror(stdout) || fclose(stdout) == EOF)
		return 1;
	return 0;
}
