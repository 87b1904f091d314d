// SPDX-License-Identifier: ISC
// Prints EOVERFLOW as the C library of the architecture it is built for
// numbers it (75 on most, 79 on mips), for the tests to expect.

#include <errno.h>
#include <stdio.h>

int
main()
{
	printf("%d\n", EOVERFLOW);
}
