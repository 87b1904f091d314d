// SPDX-License-Identifier: ISC
// idmap INSIDE OUTSIDE COUNT SOURCE TARGET: mount SOURCE again at TARGET
// as an idmapped mount, as container runtimes mount volumes: through it,
// an ID INSIDE+n on disk shows as OUTSIDE+n, a caller OUTSIDE+n creates
// as INSIDE+n, and a caller outside that range can create nothing.
// util-linux 2.38 has no X-mount.idmap to do this.
#include <sys/syscall.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <sched.h>

namespace {
// Linux 5.12's mount API, for which musl has no wrappers
constexpr unsigned open_tree_clone = 1, move_mount_f_empty_path = 4;
constexpr unsigned at_empty_path = 0x1000, at_recursive = 0x8000;
constexpr uint64_t mount_attr_idmap = 0x00100000;
struct mount_attr {
	uint64_t attr_set, attr_clr, propagation, userns_fd;
};

int
fail(const char *what)
{
	perror(what);
	return 1;
}

// A child in a new user namespace lends it: the mapping is written into
// it from outside, and the namespace outlives the child through its fd.
int
userns(const char *map)
{
	int go[2];
	if (pipe(go) != 0)
		return -1;
	pid_t child = fork();
	if (child == 0) {
		if (unshare(CLONE_NEWUSER) != 0 || write(go[1], "", 1) != 1)
			_exit(1);
		for (;;)
			pause();
	}
	char c, path[64];
	int fd = -1;
	if (child > 0 && read(go[0], &c, 1) == 1) {
		const char *const maps[] = {"uid_map", "gid_map"};
		for (const char *file : maps) {
			snprintf(path, sizeof path, "/proc/%d/%s", child, file);
			FILE *f = fopen(path, "w");
			if (!f || fputs(map, f) == EOF || fclose(f) == EOF)
				return -1;
		}
		snprintf(path, sizeof path, "/proc/%d/ns/user", child);
		fd = open(path, O_RDONLY | O_CLOEXEC);
	}
	if (child > 0) {
		kill(child, SIGKILL);
		waitpid(child, nullptr, 0);
	}
	return fd;
}
} // namespace

int
main(int argc, char **argv)
{
	if (argc != 6) {
		fputs("usage: idmap INSIDE OUTSIDE COUNT SOURCE TARGET\n", stderr);
		return 2;
	}
	char map[96];
	snprintf(map, sizeof map, "%s %s %s\n", argv[1], argv[2], argv[3]);
	int ns = userns(map);
	if (ns < 0)
		return fail("user namespace");
	int tree = syscall(SYS_open_tree, AT_FDCWD, argv[4],
		open_tree_clone | at_recursive | O_CLOEXEC);
	if (tree < 0)
		return fail(argv[4]);
	mount_attr attr{mount_attr_idmap, 0, 0, uint64_t(ns)};
	if (syscall(SYS_mount_setattr, tree, "", at_empty_path | at_recursive, &attr,
		    sizeof attr) != 0)
		return fail("mount_setattr");
	if (syscall(SYS_move_mount, tree, "", AT_FDCWD, argv[5], move_mount_f_empty_path) != 0)
		return fail(argv[5]);
	return 0;
}
