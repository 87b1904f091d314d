// SPDX-License-Identifier: ISC
// Preloaded into the probe by the tests: leaves errno set before main
// starts, as constructors of some real libraries do.

#include <errno.h>

__attribute__((constructor)) static void
leave_errno_set()
{
	errno = ENOENT;
}
