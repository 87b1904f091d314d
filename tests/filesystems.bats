# SPDX-License-Identifier: ISC
# The built probe on real file systems that each case mounts itself, under
# a temporary directory of its own, as root: loop images and memory file
# systems. A case fills, remounts and writes only inside mounts it made,
# and unmounts them, and detaches their loop devices, when it ends.

load helpers

setup() {
	: "${PROBE:?set PROBE to the mkdir-probe executable}"
	[ "$(id -u)" = 0 ] || skip "mounting file systems needs root"
	top=$(mktemp -d)
	chmod 755 "$top"
	cp "$PROBE" "$top/mkdir-probe" # where user 65534 may run it
	mnt=$top/mnt out=$top/out err=$top/err
	mkdir "$mnt"
}

teardown() {
	[ -n "${top:-}" ] || return 0
	findmnt -rn -o TARGET | grep "^$top/" | sort -r | xargs -r umount -l || true
	losetup -nO NAME -j "$top/image" | xargs -r -n 1 losetup -d || true
	rm -rf "$top"
}

# has_fs TYPE [TOOL]: skip unless the kernel and the tools have TYPE.
has_fs() {
	grep -qw "$1" /proc/filesystems || skip "the kernel lacks $1"
	[ -z "${2:-}" ] || command -v "$2" >/dev/null || skip "$2 is missing"
}

# mount_image TYPE MIB MKFS...: make a file system of MIB MiB on a loop
# image and mount it at $mnt.
mount_image() {
	type=$1
	truncate -s "$2M" "$top/image"
	shift 2
	"$@" "$top/image" >/dev/null 2>&1
	mount -t "$type" -o loop "$top/image" "$mnt"
}

# own DIR: refuse to write below DIR unless it is a mount point that this
# case made under its own directory.
own() {
	case $1 in "$top"/*) ;; *) echo "refusing: $1 is not under $top"; return 1 ;; esac
	mountpoint -q "$1" || { echo "refusing: $1 is not a mount point"; return 1; }
}

# probe_in DIR [USER]: run the probe in DIR, as root or as USER.
probe_in() {
	as=()
	[ -z "${2:-}" ] || as=(setpriv --reuid="$2" --regid="$2" --clear-groups)
	status=0
	(cd "$1" && exec "${as[@]}" "$top/mkdir-probe") >"$out" 2>"$err" || status=$?
}

# unix_scenarios: on the writable file system at $mnt, which keeps Unix
# modes: 0 and a root-owned hue of mode 000, then 17; 13 for user 65534
# in a 0755 directory; 2000 in a set-group-ID directory; 30 once
# remounted read-only, and 17 there where hue exists.
unix_scenarios() {
	own "$mnt"
	probe_in "$mnt"
	expect 0
	[ "$(stat -c '%F %a %u' "$mnt/hue")" = "directory 0 0" ]
	probe_in "$mnt"
	expect 17

	mkdir -m 755 "$mnt/shut"
	probe_in "$mnt/shut" 65534
	expect 13
	[ -z "$(ls -A "$mnt/shut")" ]

	mkdir -m 2755 "$mnt/sgid"
	probe_in "$mnt/sgid"
	expect 0
	[ "$(stat -c %a "$mnt/sgid/hue")" = 2000 ]

	mkdir "$mnt/empty"
	mount -o remount,ro "$mnt"
	probe_in "$mnt/empty"
	expect 30
	probe_in "$mnt"
	expect 17
}

# on_image TYPE MIB MKFS...: unix_scenarios on a new loop image.
on_image() {
	has_fs "$1" "$3"
	mount_image "$@"
	unix_scenarios
}

@test "ext4: 0 and hue of mode 000, 17, 13 for another user, 2000 under set-group-ID, 30 read-only, 17 read-only where hue exists" {
	on_image ext4 32 mkfs.ext4 -q
}

@test "ext2: 0 and hue of mode 000, 17, 13 for another user, 2000 under set-group-ID, 30 read-only, 17 read-only where hue exists" {
	on_image ext2 32 mkfs.ext2 -q
}

@test "xfs: 0 and hue of mode 000, 17, 13 for another user, 2000 under set-group-ID, 30 read-only, 17 read-only where hue exists" {
	on_image xfs 300 mkfs.xfs -q
}

@test "btrfs: 0 and hue of mode 000, 17, 13 for another user, 2000 under set-group-ID, 30 read-only, 17 read-only where hue exists" {
	on_image btrfs 128 mkfs.btrfs -q
}

@test "tmpfs: 0 and hue of mode 000, 17, 13 for another user, 2000 under set-group-ID, 30 read-only, 17 read-only where hue exists" {
	has_fs tmpfs
	mount -t tmpfs -o size=1m tmpfs "$mnt"
	unix_scenarios
}

@test "ramfs: 0 and hue of mode 000, 17, 13 for another user, 2000 under set-group-ID, 30 read-only, 17 read-only where hue exists" {
	has_fs ramfs
	mount -t ramfs ramfs "$mnt"
	unix_scenarios
}

# image_scenarios: on the read-only image at $mnt, whose root holds an
# empty directory and a hue: 30 in the first, 17 at the root.
image_scenarios() {
	probe_in "$mnt/empty"
	expect 30
	probe_in "$mnt"
	expect 17
}

@test "squashfs: 30 in a read-only image, 17 where hue exists" {
	has_fs squashfs mksquashfs
	mkdir -p "$top/src/empty" "$top/src/hue"
	mksquashfs "$top/src" "$top/image" -quiet -noappend >/dev/null
	mount -t squashfs -o loop "$top/image" "$mnt"
	image_scenarios
}

@test "erofs: 30 in a read-only image, 17 where hue exists" {
	has_fs erofs mkfs.erofs
	mkdir -p "$top/src/empty" "$top/src/hue"
	mkfs.erofs --quiet "$top/image" "$top/src" >/dev/null
	mount -t erofs -o loop "$top/image" "$mnt"
	image_scenarios
}

@test "overlay: 0 with a writable upper and hue only in it, 17 where hue is in the lower, 30 with lower layers only" {
	has_fs overlay
	mkdir -p "$top/lower/sub/hue" "$top/upper" "$top/work"
	mount -t overlay overlay -o "lowerdir=$top/lower,upperdir=$top/upper,workdir=$top/work" "$mnt"
	own "$mnt"
	probe_in "$mnt"
	expect 0
	[ "$(stat -c '%F %a %u' "$top/upper/hue")" = "directory 0 0" ]
	probe_in "$mnt/sub"
	expect 17
	[ ! -e "$top/upper/sub" ]
	umount "$mnt"

	mkdir "$top/lower2"
	mount -t overlay overlay -o "lowerdir=$top/lower:$top/lower2" "$mnt"
	probe_in "$mnt"
	expect 30
	probe_in "$mnt/sub"
	expect 17
}
