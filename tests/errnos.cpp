// SPDX-License-Identifier: ISC
// Prints EOVERFLOW, EDQUOT and ENOTCONN as the C library of the
// architecture it is built for numbers them (75, 122 and 107 on most;
// 79, 1133 and 134 on mips), for the tests to expect.

#include <errno.h>
#include <stdio.h>

int
main()
{
	printf("%d %d %d\n", EOVERFLOW, EDQUOT, ENOTCONN);
}
