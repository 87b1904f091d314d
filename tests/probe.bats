# SPDX-License-Identifier: ISC
# The built probe ($PROBE, linked statically when STATIC=1, cross-built
# and run through binfmt_misc and qemu-user when CROSS=1) run as a user
# runs it, in real directories.

load helpers

setup() {
	: "${PROBE:?set PROBE to the mkdir-probe executable}" "${STATIC:=0}" "${CROSS:=0}"
	PROBE=$(realpath "$PROBE")
	scratch
	d=$top/d out=$top/out err=$top/err
	mkdir "$d"
}

teardown() {
	[ -z "${owner:-}" ] || kill "$owner" 2>/dev/null || true
	rm -rf "$top"
}

# in_d CMD...: run CMD in $d, keeping its status and output.
in_d() {
	status=0
	(cd "$d" && exec "$@") >"$out" 2>"$err" || status=$?
}

@test "created hue has no permission bits whatever the umask, but a set-group-ID parent's bit, and the run prints 0" {
	for case in 000:-s:0 022:-s:0 077:-s:0 022:+s:2000; do
		IFS=: read -r mask sgid want <<<"$case"
		d=$top/$mask$sgid
		mkdir "$d"
		# chgrp: without it, g+s is silently dropped for a user outside
		# the group that a set-group-ID TMPDIR handed down
		chgrp "$(id -g)" "$d" && chmod "g$sgid" "$d"
		umask "$mask"
		in_d "$PROBE"
		expect 0
		[ "$(stat -c '%F %a' "$d/hue")" = "directory $want" ]
		[ "$(ls -A "$d")" = hue ]
	done
}

@test "arguments change nothing" {
	in_d "$PROBE" -p --help hue "$top/other" ''
	expect 0
	[ "$(ls -A "$top" | xargs)" = "d err out" ]
	[ "$(ls -A "$d")" = hue ]
	in_d "$PROBE" -p
	expect 17
}

@test "a second run prints 17 and leaves hue as it was" {
	in_d "$PROBE"
	before=$(stat -c '%i %a %y %z' "$d/hue")
	in_d "$PROBE"
	expect 17
	[ "$(stat -c '%i %a %y %z' "$d/hue")" = "$before" ]
}

@test "a file or a dangling symbolic link named hue gives 17 and is left alone" {
	echo data >"$d/hue"
	in_d "$PROBE"
	expect 17
	[ "$(cat "$d/hue")" = data ]

	rm "$d/hue"
	ln -s target "$d/hue"
	in_d "$PROBE"
	expect 17
	[ "$(readlink "$d/hue")" = target ]
	[ "$(ls -A "$d")" = hue ]
}

@test "a directory the user may not write gives 13 and gets nothing" {
	chmod 555 "$d"
	if [ "$(id -u)" = 0 ]; then
		as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
		cp "$PROBE" "$top/mkdir-probe"
		"${as_nobody[@]}" test -x "$top/mkdir-probe" ||
			skip "root cannot run the probe as user 65534 from $top (setpriv)"
		in_d "${as_nobody[@]}" "$top/mkdir-probe"
	else
		in_d "$PROBE"
	fi
	expect 13
	[ -z "$(ls -A "$d")" ]
}

@test "a read-only file system gives 30" {
	ns=(unshare -m)
	[ "$(id -u)" = 0 ] || ns=(unshare -rm)
	"${ns[@]}" mount -t tmpfs -o ro tmpfs "$d" 2>/dev/null ||
		skip "cannot mount a tmpfs in a private mount namespace here (${ns[*]})"
	in_d "${ns[@]}" sh -c 'mount -t tmpfs -o ro tmpfs "$PWD" && cd "$PWD" && exec "$0"' "$PROBE"
	expect 30
}

@test "a caller with no mapping in the user namespace that mounted the file system gets EOVERFLOW, as its architecture numbers it" {
	[ "$(id -u)" = 0 ] || skip "only root may enter another mount namespace as user 65534"
	# The mount's owner: a user namespace that maps root alone.
	unshare -Urm --propagation private sh -c \
		'mount -t tmpfs -o mode=1777 tmpfs "$0" && exec sleep 60' "$d" >/dev/null 2>&1 3>&- &
	owner=$!
	for _ in $(seq 50); do
		nsenter -t "$owner" -m mountpoint -q "$d" && break
		sleep 0.1
	done
	nsenter -t "$owner" -m mountpoint -q "$d" ||
		skip "cannot mount a tmpfs in a new user namespace here"
	cp "$PROBE" "$top/mkdir-probe"
	in_d nsenter -t "$owner" -m setpriv --reuid=65534 --regid=65534 --clear-groups \
		sh -c 'cd "$0" && exec "$1"' "$d" "$top/mkdir-probe"
	errnos
	expect "$EOVERFLOW"
}

@test "a working directory removed under the process gives 2" {
	in_d sh -c 'rmdir "$PWD" && exec "$0"' "$PROBE"
	expect 2
}

@test "errno left set by a library before main does not spoil a success" {
	[ "$STATIC" = 0 ] || skip "a static executable takes no preloaded library"
	in_d env LD_PRELOAD="$ERRNO_PRELOAD" "$PROBE"
	expect 0
	[ -d "$d/hue" ]
}

@test "a start needs the C library alone or, linked statically, nothing at all" {
	# readelf, not ldd: it reads a foreign binary as well as a native one
	needed=$(readelf -d "$PROBE" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | xargs)
	interp=$(readelf -l "$PROBE" | grep -c 'program interpreter' || true)
	echo "needed: $needed; interpreters: $interp"
	if [ "$STATIC" = 0 ]; then
		[ "$needed" = libc.so.6 ]
		[ "$interp" = 1 ]
		return
	fi
	[ -z "$needed" ]
	[ "$interp" = 0 ]
	[ "$(id -u)" = 0 ] || skip "only root may chroot into an empty root"
	mkdir "$top/root"
	cp "$PROBE" "$top/root/mkdir-probe"
	status=0
	chroot "$top/root" /mkdir-probe >"$out" 2>"$err" || status=$?
	expect 0
	[ -d "$top/root/hue" ]
}

@test "a report that cannot be written exits 1 without a word and the attempt stands" {
	status=0
	(cd "$d" && exec "$PROBE") >/dev/full 2>"$err" || status=$?
	[ "$status" = 1 ]
	[ ! -s "$err" ]
	[ -d "$d/hue" ]

	rmdir "$d/hue"
	status=0
	(cd "$d" && exec "$PROBE") >&- 2>"$err" || status=$?
	[ "$status" = 1 ]
	[ ! -s "$err" ]
	[ -d "$d/hue" ]
}

@test "of 50 racing runs exactly one prints 0 and the others 17" {
	race 50 "$d"
}

# count_writes: the write and writev calls that $top/trace records.
count_writes() {
	grep -cE '^(\[pid +[0-9]+\] )?(write|writev)\(' "$top/trace" || true
}

@test "under a one-byte stdio buffer the report leaves in one write and racing runs keep their lines whole" {
	[ "$CROSS" = 0 ] || skip "stdbuf preloads a host library that the emulated probe cannot load"
	# Only a single write to a pipe is atomic: with two, racing lines merge.
	for i in $(seq 300); do
		(cd "$d" && exec stdbuf -o1 "$PROBE") &
	done | cat >"$out"
	counts=$(sort "$out" | uniq -c | xargs)
	echo "counts and lines: $counts"
	[ "$counts" = "1 0 299 17" ]

	command -v strace >/dev/null || skip "strace is missing: apt-get install strace"
	rmdir "$d/hue"
	in_d strace -o "$top/trace" -e trace=write,writev stdbuf -o1 "$PROBE"
	expect 0
	cat "$top/trace"
	[ "$(count_writes)" = 1 ]
}

@test "under a data limit at which stdio cannot allocate a buffer the report leaves in one write" {
	[ "$CROSS" = 0 ] || skip "qemu-user cannot start under a 160 KiB data limit"
	command -v strace >/dev/null || skip "strace is missing: apt-get install strace"
	in_d strace -o "$top/trace" -e trace=write,writev prlimit --data=163840 "$PROBE"
	cat "$top/trace"
	if [ "$status" -gt 128 ] && [ ! -e "$d/hue" ]; then
		skip "this build dies in its C library's start-up under the limit, before it tries (status $status)"
	fi
	expect 0
	[ "$(count_writes)" = 1 ]
}
