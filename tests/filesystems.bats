# SPDX-License-Identifier: ISC
# The built probe on real file systems that each case mounts itself, as
# root, under a temporary directory of its own: loop images, memory file
# systems, FUSE file systems, sshfs to an sshd that the case starts on
# 127.0.0.1, rclone mounts of a directory, of that sshd and of an rclone
# WebDAV server there, and GlusterFS, MooseFS and CephFS with servers of the
# case's own on loopback. A case fills, remounts and writes only inside
# mounts that it made, and when it ends, passed or failed, it unmounts
# them, detaches their loop devices and stops its servers by PID.

load helpers

setup() {
	: "${PROBE:?set PROBE to the mkdir-probe executable}"
	PROBE=$(realpath "$PROBE")
	[ "$(id -u)" = 0 ] || skip "mounting file systems needs root"
	scratch
	cp "$PROBE" "$top/mkdir-probe" # where user 65534 may run it
	mnt=$top/mnt out=$top/out err=$top/err
	mkdir "$mnt"
}

teardown() {
	[ -n "${top:-}" ] || return 0
	findmnt -rn -o TARGET | grep "^$top/" | sort -r | xargs -r umount -l || true
	# a client whose server is gone may not heed SIGTERM
	[ -z "${glusterd:-}" ] || servers+=($(namespace_of "$glusterd"))
	for pid in ${sshd:-} ${servers[@]+"${servers[@]}"}; do
		kill "$pid" 2>/dev/null || continue
		for _ in $(seq 20); do
			kill -0 "$pid" 2>/dev/null || break
			sleep 0.1
		done
		kill -KILL "$pid" 2>/dev/null || true
		wait "$pid" 2>/dev/null || true
	done
	losetup -nO NAME -j "$top/image" | xargs -r -n 1 losetup -d || true
	rm -rf "$top"
}

# needs TYPE TOOL...: skip unless the kernel has TYPE and the tools exist.
needs() {
	grep -qw "$1" /proc/filesystems || skip "the kernel lacks $1"
	shift
	for tool; do
		command -v "$tool" >/dev/null || skip "$tool is missing"
	done
}

# mkimage MIB MKFS...: a file system of MIB MiB in $top/image.
mkimage() {
	rm -f "$top/image"
	truncate -s "$1M" "$top/image"
	shift
	"$@" "$top/image" >/dev/null 2>&1
}

# own: refuse to fill, remount or write below $mnt unless it is a mount
# point, under this case's own directory.
own() {
	mountpoint -q "$mnt" || { echo "refusing: $mnt is not a mount point"; return 1; }
	case $(findmnt -n -o TARGET --target "$mnt") in
	"$top"/*) ;;
	*) echo "refusing: $mnt is not a mount of this case"; return 1 ;;
	esac
}

# room NAME MODE: a new directory in the mount, for one run.
room() {
	own
	mkdir "$mnt/$1"
	chmod "$2" "$mnt/$1"
}

# probe_in DIR [USER]: run the probe in DIR, as root or as USER. The
# directory is entered as root, so a FUSE mount without allow_other is
# still reached.
probe_in() {
	as=()
	[ -z "${2:-}" ] || as=(setpriv --reuid="$2" --regid="$2" --clear-groups)
	status=0
	(cd "$1" && exec "${as[@]}" "$top/mkdir-probe") >"$out" 2>"$err" || status=$?
}

# made DIR MODE OWNER: the run printed 0, and DIR/hue is a directory of
# that mode and owner.
made() {
	expect 0
	got=$(stat -c '%F %a %u' "$1/hue")
	echo "$1/hue: $got"
	[ "$got" = "directory $2 $3" ]
}

# basics: on the writable file system at $mnt, 0 and a root-owned hue of
# mode 000, then 17; of 20 racing runs one 0; 13 for user 65534 in a 0755
# directory.
basics() {
	own
	probe_in "$mnt"
	made "$mnt" 0 0
	probe_in "$mnt"
	expect 17
	room racing 755
	race 20 "$mnt/racing"
	room shut 755
	probe_in "$mnt/shut" 65534
	expect 13
	[ -z "$(ls -A "$mnt/shut")" ]
}

# unix_scenarios [READ-ONLY-COMMAND...]: basics on a file system that
# keeps Unix modes, then 2000 in a set-group-ID directory; 30 once
# read-only (remounted, or by the command given), and 17 there where hue
# exists.
unix_scenarios() {
	basics
	room sgid 2755
	probe_in "$mnt/sgid"
	made "$mnt/sgid" 2000 0

	room empty 755
	if [ $# = 0 ]; then
		mount -o remount,ro "$mnt"
	else
		"$@"
	fi
	probe_in "$mnt/empty"
	expect 30
	probe_in "$mnt"
	expect 17
}

# fill_blocks, fill_inodes: use up the data blocks, or the inodes, of $mnt.
fill_blocks() {
	own
	dd if=/dev/zero of="$mnt/fill" bs=64k 2>/dev/null || true
	sync
}
fill_inodes() {
	own
	i=0
	while : 2>/dev/null >"$mnt/i$i"; do
		i=$((i + 1))
	done
}

# when_full ROOT OTHER: on the full $mnt, root gets ROOT, user 65534 OTHER.
when_full() {
	probe_in "$mnt/root"
	expect "$1"
	probe_in "$mnt/other" 65534
	expect "$2"
}

# full_scenarios MIB MKFS... -- BLOCKS-ROOT BLOCKS-OTHER INODES: a full
# image of each kind, blocks and then inodes.
full_scenarios() {
	mkfs=()
	while [ "$1" != -- ]; do
		mkfs+=("$1")
		shift
	done
	shift
	for what in blocks inodes; do
		mkimage "${mkfs[@]}"
		mount -o loop "$top/image" "$mnt"
		room root 777
		room other 777
		"fill_$what"
		if [ "$what" = blocks ]; then when_full "$1" "$2"; else when_full "$3" "$3"; fi
		umount "$mnt"
	done
}

# immutable: 1 in an immutable directory of $mnt, for root too.
immutable() {
	room frozen 755
	chattr +i "$mnt/frozen"
	probe_in "$mnt/frozen"
	chattr -i "$mnt/frozen"
	expect 1
}

@test "ext4: hue of mode 000, 17, one 0 of 20 racing runs, 13 for another user, 2000 under set-group-ID, 30 read-only or 17 where hue exists" {
	needs ext4 mkfs.ext4
	mkimage 32 mkfs.ext4 -q
	mount -o loop "$top/image" "$mnt"
	unix_scenarios
}

@test "ext4: full blocks give root 0 from its reserved blocks and others 28, full inodes 28, an immutable directory 1" {
	needs ext4 mkfs.ext4 chattr
	full_scenarios 32 mkfs.ext4 -q -N 2048 -- 0 28 28
	mkimage 32 mkfs.ext4 -q
	mount -o loop "$top/image" "$mnt"
	immutable
}

@test "ext4 with case-folding: a name that differs in case from hue gives 17" {
	needs ext4 mkfs.ext4 chattr
	[ -e /sys/fs/ext4/features/casefold ] || skip "the kernel's ext4 lacks case-folding"
	mkimage 32 mkfs.ext4 -q -O casefold
	mount -o loop "$top/image" "$mnt"
	room fold 755
	chattr +F "$mnt/fold"
	mkdir "$mnt/fold/HUE"
	probe_in "$mnt/fold"
	expect 17
}

@test "ext4 with user quotas: 122 for a user whose quota is used up" {
	needs ext4 mkfs.ext4 setquota
	mkimage 32 mkfs.ext4 -q -O quota -E quotatype=usrquota
	mount -o loop,usrquota "$top/image" "$mnt" 2>/dev/null ||
		skip "the kernel cannot mount ext4 with quotas"
	room other 777
	setquota -u 65534 0 0 0 1 "$mnt"
	setpriv --reuid=65534 --regid=65534 --clear-groups touch "$mnt/other/file"
	errnos
	probe_in "$mnt/other" 65534
	expect "$EDQUOT"
}

@test "ext2: hue of mode 000, 17, one 0 of 20 racing runs, 13 for another user, 2000 under set-group-ID, 30 read-only or 17 where hue exists" {
	needs ext2 mkfs.ext2
	mkimage 32 mkfs.ext2 -q
	mount -o loop "$top/image" "$mnt"
	unix_scenarios
}

@test "ext2: full blocks give root 0 and others 28, full inodes 28, 31 in a directory of 65000 links" {
	needs ext2 mkfs.ext2
	full_scenarios 32 mkfs.ext2 -q -N 2048 -- 0 28 28
	mkimage 128 mkfs.ext2 -q -N 70000
	mount -o loop "$top/image" "$mnt"
	own
	room many 755
	(cd "$mnt/many" && seq -f d%g 64998 | xargs mkdir)
	probe_in "$mnt/many"
	expect 31
}

@test "xfs: hue of mode 000, 17, one 0 of 20 racing runs, 13 for another user, 2000 under set-group-ID, 30 read-only or 17 where hue exists" {
	needs xfs mkfs.xfs
	mkimage 300 mkfs.xfs -q
	mount -o loop "$top/image" "$mnt"
	unix_scenarios
}

@test "xfs: full blocks and full inodes give 28 to root too, an immutable directory 1" {
	needs xfs mkfs.xfs chattr
	# at most 1% of the space for inodes, so that they run out first
	full_scenarios 300 mkfs.xfs -q -i maxpct=1 -- 28 28 28
	mkimage 300 mkfs.xfs -q
	mount -o loop "$top/image" "$mnt"
	immutable
}

@test "btrfs: hue of mode 000, 17, one 0 of 20 racing runs, 13 for another user, 2000 under set-group-ID, 30 read-only or 17 where hue exists" {
	needs btrfs mkfs.btrfs
	mkimage 128 mkfs.btrfs -q
	mount -o loop "$top/image" "$mnt"
	unix_scenarios
}

@test "btrfs: full data still gives 0, a read-only snapshot 30 for root and for another user and 17 where hue exists, a qgroup limit 122 to root too, an immutable directory 1" {
	needs btrfs mkfs.btrfs btrfs chattr
	mkimage 128 mkfs.btrfs -q
	mount -o loop "$top/image" "$mnt"
	room root 777
	room other 777
	fill_blocks
	when_full 0 0
	umount "$mnt"

	mkimage 128 mkfs.btrfs -q
	mount -o loop "$top/image" "$mnt"
	own
	immutable
	btrfs -q subvolume create "$mnt/vol"
	mkdir -p "$mnt/vol/empty" "$mnt/vol/full/hue"
	btrfs -q subvolume snapshot -r "$mnt/vol" "$mnt/snap"
	probe_in "$mnt/snap/empty"
	expect 30
	probe_in "$mnt/snap/empty" 65534
	expect 30
	probe_in "$mnt/snap/full"
	expect 17

	btrfs -q quota enable "$mnt"
	btrfs -q subvolume create "$mnt/limited"
	chmod 777 "$mnt/limited"
	btrfs -q qgroup limit 1M "$mnt/limited"
	dd if=/dev/zero of="$mnt/limited/fill" bs=64k 2>/dev/null || true
	sync
	errnos
	probe_in "$mnt/limited"
	expect "$EDQUOT"
	probe_in "$mnt/limited" 65534
	expect "$EDQUOT"
}

@test "tmpfs: hue of mode 000, 17, one 0 of 20 racing runs, 13 for another user, 2000 under set-group-ID, 30 read-only or 17 where hue exists" {
	needs tmpfs
	mount -t tmpfs -o size=1m tmpfs "$mnt"
	unix_scenarios
}

@test "tmpfs: full size still gives 0, full inodes 28, an immutable directory 1" {
	needs tmpfs chattr
	mount -t tmpfs -o size=64k tmpfs "$mnt"
	room root 777
	room other 777
	fill_blocks
	when_full 0 0
	umount "$mnt"

	mount -t tmpfs -o nr_inodes=8 tmpfs "$mnt"
	room root 777
	room other 777
	fill_inodes
	when_full 28 28
	umount "$mnt"

	mount -t tmpfs tmpfs "$mnt"
	immutable
}

@test "tmpfs bind mount: read-only gives 30 and 17 where hue exists, while its source stays writable" {
	needs tmpfs
	mkdir "$top/src"
	mount -t tmpfs tmpfs "$top/src"
	mkdir -p "$top/src/full/hue"
	mount --bind "$top/src" "$mnt"
	mount -o remount,bind,ro "$mnt"
	probe_in "$mnt"
	expect 30
	probe_in "$mnt/full"
	expect 17
	probe_in "$top/src"
	expect 0
}

@test "ramfs: hue of mode 000, 17, one 0 of 20 racing runs, 13 for another user, 2000 under set-group-ID, 30 read-only or 17 where hue exists" {
	needs ramfs
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
	needs squashfs mksquashfs
	mkdir -p "$top/src/empty" "$top/src/hue"
	mksquashfs "$top/src" "$top/image" -quiet -noappend >/dev/null
	mount -t squashfs -o loop "$top/image" "$mnt"
	image_scenarios
}

@test "erofs: 30 in a read-only image, 17 where hue exists" {
	needs erofs mkfs.erofs
	mkdir -p "$top/src/empty" "$top/src/hue"
	mkfs.erofs --quiet "$top/image" "$top/src" >/dev/null
	mount -t erofs -o loop "$top/image" "$mnt"
	image_scenarios
}

@test "overlay: 0 with a writable upper and hue only in it, one 0 of 20 racing runs, 17 where hue is in the lower, 30 with lower layers only" {
	needs overlay
	mkdir -p "$top/lower/sub/hue" "$top/upper" "$top/work"
	mount -t overlay overlay -o "lowerdir=$top/lower,upperdir=$top/upper,workdir=$top/work" "$mnt"
	own
	probe_in "$mnt"
	made "$top/upper" 0 0
	mkdir "$mnt/racing"
	race 20 "$mnt/racing"
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

@test "fuse2fs: hue of mode 000, 17, one 0 of 20 racing runs, 13 for another user, 2000 under set-group-ID, 30 read-only or 17 where hue exists" {
	needs fuse fuse2fs mkfs.ext4
	mkimage 32 mkfs.ext4 -q
	fuse2fs -o allow_other "$top/image" "$mnt" >/dev/null
	unix_scenarios fuse2fs_ro
}

# fuse2fs_ro: FUSE takes no remount. Unmount, wait until the server has
# written the image back and gone, and mount the image again read-only.
fuse2fs_ro() {
	server=$(pgrep -nf "^fuse2fs .*$top/image")
	umount "$mnt"
	for _ in $(seq 100); do
		kill -0 "$server" 2>/dev/null || break
		sleep 0.1
	done
	fuse2fs -o ro,allow_other "$top/image" "$mnt" >/dev/null
}

# nonunix_scenarios MODE OTHER HUE: on a FUSE file system that keeps no
# Unix modes: hue of MODE owned by root, then 17; of 20 racing runs one
# 0; OTHER for user 65534
# in a directory made by root (and chmod'ed to 0755, where chmod is
# taken); HUE where a directory named "HUE" is.
nonunix_scenarios() {
	own
	probe_in "$mnt"
	made "$mnt" "$1" 0
	probe_in "$mnt"
	expect 17
	mkdir "$mnt/racing"
	race 20 "$mnt/racing"
	mkdir "$mnt/shut"
	chmod 755 "$mnt/shut" 2>/dev/null || true
	probe_in "$mnt/shut" 65534
	expect "$2"
	mkdir "$mnt/case"
	mkdir "$mnt/case/HUE"
	probe_in "$mnt/case"
	expect "$3"
}

@test "ntfs-3g: hue of mode 777, 17, one 0 of 20 racing runs, 0 for another user in a 0755 directory, 0 beside HUE" {
	needs fuse ntfs-3g mkntfs
	mkimage 32 mkntfs -F -q -f
	ntfs-3g "$top/image" "$mnt"
	nonunix_scenarios 777 0 0
}

@test "exfat-fuse: hue of mode 777, 17, one 0 of 20 racing runs, 0 for another user in a 0755 directory, 17 beside HUE" {
	needs fuse mount.exfat-fuse mkfs.exfat
	mkimage 32 mkfs.exfat
	# it wants a block device
	mount.exfat-fuse -o quiet "$(losetup --find --show "$top/image")" "$mnt" >/dev/null 2>&1
	nonunix_scenarios 777 0 17
}

@test "fusefat: hue of mode 700, 17, one 0 of 20 racing runs, 13 for another user in a 0755 directory, 17 beside HUE" {
	needs fuse fusefat mkfs.fat
	mkimage 32 mkfs.fat
	fusefat -o rw+ "$top/image" "$mnt" >/dev/null
	nonunix_scenarios 700 13 17
}

@test "bindfs: 0 and hue of mode 000, 17, one 0 of 20 racing runs, 13 for another user, 30 read-only and 17 there where hue exists, 107 once its server is killed" {
	needs fuse bindfs
	mkdir "$top/src"
	bindfs "$top/src" "$mnt"
	basics
	[ "$(stat -c '%F %a %u' "$top/src/hue")" = "directory 0 0" ]
	umount "$mnt"

	mkdir "$top/src/empty"
	bindfs -o ro "$top/src" "$mnt"
	probe_in "$mnt/empty"
	expect 30
	probe_in "$mnt"
	expect 17
	umount "$mnt"

	bindfs "$top/src" "$mnt"
	server=$(pgrep -nfx "bindfs $top/src $mnt")
	status=0
	(cd "$mnt/empty" && kill -9 "$server" && sleep 0.2 && exec "$top/mkdir-probe") \
		>"$out" 2>"$err" || status=$?
	errnos
	expect "$ENOTCONN"
}

@test "bindfs: forced permissions give hue mode 777 and another user 0 in a 0755 directory, a forced owner owns hue" {
	needs fuse bindfs
	mkdir -p "$top/src/shut"
	chmod 755 "$top/src/shut"
	bindfs -p 0777 "$top/src" "$mnt"
	own
	probe_in "$mnt"
	made "$mnt" 777 0
	probe_in "$mnt/shut" 65534
	made "$mnt/shut" 777 65534
	umount "$mnt"

	rm -rf "${top:?}/src/"*
	bindfs -u 65534 "$top/src" "$mnt"
	probe_in "$mnt"
	made "$mnt" 0 65534
}

@test "bindfs: without allow_other another user gets 13 even in a 0777 directory, with it 0" {
	needs fuse bindfs
	mkdir -p "$top/src/open"
	chmod 777 "$top/src/open"
	bindfs --no-allow-other "$top/src" "$mnt"
	probe_in "$mnt/open" 65534
	expect 13
	umount "$mnt"
	bindfs "$top/src" "$mnt"
	probe_in "$mnt/open" 65534
	made "$mnt/open" 0 65534
}

# ready PID LOG PATTERN: wait up to 5 s for the server PID to write
# PATTERN to LOG; fail when it ends first or does not.
ready() {
	for _ in $(seq 50); do
		grep -q "$3" "$2" && return 0
		kill -0 "$1" 2>/dev/null || return 1
		sleep 0.1
	done
	return 1
}

# start_sshd: an sshd of this case on 127.0.0.1 (its own port, host key
# and authorized key) in a mount namespace of its own, whose /run is a
# tmpfs, so that nothing outside $top changes; server-side mounts are made
# in that namespace. Serves $top/srv.
start_sshd() {
	needs fuse sshfs sshd ssh-keygen
	ssh=$top/ssh
	mkdir "$ssh" "$top/srv"
	ssh-keygen -q -t ed25519 -N '' -f "$ssh/host"
	ssh-keygen -q -t ed25519 -N '' -f "$ssh/id"
	cp "$ssh/id.pub" "$ssh/authorized_keys"
	for _ in 1 2 3 4 5; do
		port=$((20000 + RANDOM % 20000))
		cat >"$ssh/config" <<-END
		Port $port
		ListenAddress 127.0.0.1
		HostKey $ssh/host
		PidFile none
		AuthorizedKeysFile $ssh/authorized_keys
		StrictModes no
		UsePAM no
		PasswordAuthentication no
		KbdInteractiveAuthentication no
		PermitRootLogin prohibit-password
		Subsystem sftp internal-sftp
		END
		unshare -m --propagation private sh -c \
			'mount -t tmpfs -o size=64k,mode=755 tmpfs /run && mkdir /run/sshd &&
			exec "$(command -v sshd)" -D -e -f "$0"' "$ssh/config" 2>"$ssh/log" 3>&- &
		sshd=$!
		ready "$sshd" "$ssh/log" 'Server listening' && return 0
		kill "$sshd" 2>/dev/null || true
		wait "$sshd" 2>/dev/null || true
		sshd=
	done
	skip "cannot start sshd here: $(tail -n 1 "$ssh/log")"
}

# on_server COMMAND: run COMMAND (a shell line) as the server sees its files.
on_server() {
	nsenter -t "$sshd" -m sh -c "$1"
}

# sshfs_mount USER DIR [SSHFS-OPTIONS...]: $top/srv/DIR of the server at $mnt.
sshfs_mount() {
	local remote=$1@127.0.0.1:$top/srv/$2
	shift 2
	sshfs -p "$port" -o "IdentityFile=$ssh/id,StrictHostKeyChecking=no" \
		-o "UserKnownHostsFile=/dev/null,BatchMode=yes,LogLevel=ERROR" "$@" \
		"$remote" "$mnt"
	own
}

@test "sshfs: 0 and hue of mode 000 owned by the server's user, 17, 17 still right after the server removed hue, 0 without the directory cache, one 0 of 20 racing runs" {
	start_sshd
	mkdir -m 777 "$top/srv/open"
	for user in root:0 nobody:65534; do
		sshfs_mount "${user%:*}" open
		probe_in "$mnt"
		made "$top/srv/open" 0 "${user#*:}"
		made "$mnt" 0 "${user#*:}"
		probe_in "$mnt"
		expect 17
		on_server "rmdir $top/srv/open/hue"
		probe_in "$mnt"
		expect 17
		umount "$mnt"
	done

	sshfs_mount root open -o dir_cache=no
	probe_in "$mnt"
	expect 0
	on_server "rmdir $top/srv/open/hue"
	probe_in "$mnt"
	expect 0
	mkdir "$mnt/racing"
	race 20 "$mnt/racing"
}

@test "sshfs: a server that denies permission gives 13, a read-only server, a full server and hue made on the server all give 17" {
	start_sshd
	mkdir -m 755 "$top/srv/shut"
	mkdir -m 777 "$top/srv/ro" "$top/srv/full" "$top/srv/open"
	on_server "mount --bind $top/srv/ro $top/srv/ro && mount -o remount,bind,ro $top/srv/ro &&
		mount -t tmpfs -o nr_inodes=2,mode=777 tmpfs $top/srv/full && : >$top/srv/full/file"

	sshfs_mount nobody shut
	probe_in "$mnt"
	expect 13
	umount "$mnt"
	for dir in ro full; do
		sshfs_mount nobody "$dir"
		probe_in "$mnt"
		expect 17
		umount "$mnt"
	done
	[ -z "$(ls -A "$top/srv/shut")" ]
	[ -z "$(ls -A "$top/srv/ro")" ]

	sshfs_mount nobody open
	ls -A "$mnt" # the client has looked, and seen no hue
	on_server "mkdir $top/srv/open/hue"
	probe_in "$mnt"
	expect 17
}

# rclone_mount DIR REMOTE [FLAGS...]: REMOTE mounted at DIR by an rclone of
# this case, open to every user, as people share a bucket with a host's
# containers. No config file: the remote is given whole.
rclone_mount() {
	local dir=$1 remote=$2
	shift 2
	mkdir -p "$dir"
	rclone --config "$top/rclone.conf" mount "$remote" "$dir" --allow-other "$@" \
		2>>"$top/rclone.log" 3>&- &
	servers+=($!)
	for _ in $(seq 100); do
		mountpoint -q "$dir" && return 0
		kill -0 "$!" 2>/dev/null || break
		sleep 0.1
	done
	echo "rclone did not mount $remote: $(tail -n 3 "$top/rclone.log")"
	return 1
}

# start_webdav: "rclone serve webdav" of $top/srv on 127.0.0.1:$dav_port.
start_webdav() {
	mkdir -p "$top/srv"
	for _ in 1 2 3 4 5; do
		dav_port=$((20000 + RANDOM % 20000))
		rclone --config "$top/rclone.conf" serve webdav "$top/srv" \
			--addr "127.0.0.1:$dav_port" 2>"$top/webdav.log" 3>&- &
		webdav=$!
		servers+=($webdav)
		ready "$webdav" "$top/webdav.log" 'Server started\|Serving on' && return 0
	done
	skip "cannot start rclone serve webdav here: $(tail -n 1 "$top/webdav.log")"
}

# start_mfsmaster: a MooseFS master of this case on 127.0.0.1:$mfs_port,
# its metadata under $top/mfs, exporting / (with quotas), /squash (root
# mapped, as by default, to 999) and /ro. A master alone serves
# directories and empty files: no chunk server is needed.
start_mfsmaster() {
	needs fuse mfsmaster mfsmount
	mfs=$top/mfs
	# the master works as user mfs
	install -d -o mfs -g mfs "$mfs" "$mfs/data"
	install -o mfs -g mfs /var/lib/mfs/metadata.mfs.empty "$mfs/data/metadata.mfs"
	mfs_port=$((20000 + RANDOM % 20000))
	{
		echo "DATA_PATH = $mfs/data"
		echo "EXPORTS_FILENAME = $mfs/exports.cfg"
		for module in ML:0 CS:1 CL:2; do
			echo "MATO${module%:*}_LISTEN_HOST = 127.0.0.1"
			echo "MATO${module%:*}_LISTEN_PORT = $((mfs_port - 2 + ${module#*:}))"
		done
	} >"$mfs/master.cfg"
	# where lines match alike, the last one counts
	printf '127.0.0.1 %s\n' '/ rw,alldirs,admin,maproot=0:0' '/squash rw' '/ro ro,maproot=0:0' \
		>"$mfs/exports.cfg"
	mfsmaster -f -c "$mfs/master.cfg" >"$mfs/log" 2>&1 3>&- &
	mfsmaster=$!
	servers+=($mfsmaster)
	ready "$mfsmaster" "$mfs/log" 'initialized properly' && return 0
	skip "cannot start mfsmaster here: $(tail -n 1 "$mfs/log")"
}

# mfs_mount DIR [EXPORT]: EXPORT (/ by default) of the master at DIR; the
# client is stopped by PID with the servers.
mfs_mount() {
	mkdir -p "$1"
	mfsmount -H 127.0.0.1 -P "$mfs_port" -S "${2:-/}" "$1" >/dev/null 2>&1 3>&-
	servers+=($(pgrep -f -x "mfsmount \\(mounted on: $1\\)"))
}

# start_glusterd: a GlusterFS server of this case on 127.0.0.2 (the CLI
# refuses 127.0.0.1 and localhost as a brick's host), in a mount namespace
# of its own whose /var/lib/glusterd, /var/log/glusterfs and /run are
# memory file systems, so that its state is this case's alone. gluster
# runs its CLI there; every process of that namespace, the bricks among
# them, is stopped by PID with the servers.
start_glusterd() {
	needs fuse glusterd gluster mount.glusterfs
	mkdir "$top/gluster"
	unshare -m --propagation private sh -c \
		'for d in /var/lib/glusterd /var/log/glusterfs /run; do mount -t tmpfs gluster $d || exit; done &&
		exec glusterd -N --xlator-option management.transport.socket.bind-address=127.0.0.2' \
		>"$top/gluster/log" 2>&1 3>&- &
	glusterd=$!
	servers+=($glusterd)
	for _ in $(seq 100); do
		gluster pool list >/dev/null 2>&1 && return 0
		kill -0 "$glusterd" 2>/dev/null || break
		sleep 0.2
	done
	skip "cannot start glusterd here: $(tail -n 1 "$top/gluster/log")"
}
gluster() {
	nsenter -t "$glusterd" -m gluster --mode=script "$@"
}

# gluster_volume NAME BRICKS...: a started volume of those bricks under
# $top/gluster, as a replica where there are two.
gluster_volume() {
	local name=$1 b bricks=()
	shift
	for b; do
		mkdir -p "$top/gluster/$b"
		bricks+=("127.0.0.2:$top/gluster/$b")
	done
	gluster volume create "$name" ${2:+replica $#} "${bricks[@]}" force >/dev/null &&
		gluster volume start "$name" >/dev/null
}

# gluster_mount DIR VOLUME: the volume at DIR, mounted here; its client logs
# under $top.
gluster_mount() {
	mkdir -p "$1"
	mount -t glusterfs -o "log-file=$top/gluster/client.log" "127.0.0.2:/$2" "$1"
}

# start_ceph: a one-node Ceph cluster of this case on 127.0.0.2:$ceph_port
# (a monitor, an OSD that keeps its objects in memory, a metadata server),
# its configuration, state and logs under $top/ceph, without
# authentication, and one file system. ceph runs its CLI against it.
start_ceph() {
	needs fuse ceph ceph-mon ceph-osd ceph-mds ceph-fuse monmaptool setfattr
	local c=$top/ceph fsid osd
	mkdir -p "$c/mon" "$c/osd" "$c/mds" "$c/run"
	fsid=$(cat /proc/sys/kernel/random/uuid)
	osd=$(cat /proc/sys/kernel/random/uuid)
	ceph_port=$((20000 + RANDOM % 20000))
	cat >"$c/conf" <<-END
	[global]
	fsid = $fsid
	mon host = v2:127.0.0.2:$ceph_port
	public addr = 127.0.0.2
	cluster addr = 127.0.0.2
	auth cluster required = none
	auth service required = none
	auth client required = none
	run dir = $c/run
	admin socket = $c/run/\$name.asok
	log file = $c/\$name.log
	mon data = $c/mon
	osd data = $c/osd
	mds data = $c/mds
	osd objectstore = memstore
	memstore device bytes = 268435456
	osd pool default size = 1
	mon allow pool size one = true
	END
	monmaptool --create --addv a "[v2:127.0.0.2:$ceph_port]" --fsid "$fsid" "$c/monmap" >/dev/null
	ceph-mon -c "$c/conf" --mkfs -i a --monmap "$c/monmap" 2>>"$c/log"
	ceph-mon -f -c "$c/conf" -i a 2>>"$c/log" 3>&- &
	servers+=($!)
	ceph osd new "$osd" >/dev/null 2>>"$c/log" ||
		skip "cannot start ceph-mon here: $(tail -n 1 "$c/log")"
	ceph-osd -c "$c/conf" -i 0 --mkfs --osd-uuid "$osd" 2>>"$c/log"
	ceph-osd -f -c "$c/conf" -i 0 2>>"$c/log" 3>&- &
	servers+=($!)
	ceph-mds -f -c "$c/conf" -i a 2>>"$c/log" 3>&- &
	mds=$!
	servers+=($mds)
	{
		ceph osd pool create meta 8 && ceph osd pool create data 8 &&
			ceph fs new fs meta data
	} >/dev/null 2>>"$c/log"
}
ceph() {
	command ceph -c "$top/ceph/conf" --connect-timeout 10 "$@"
}

# ceph_mount DIR NAME: the file system at DIR, through a ceph-fuse of its
# own, as client NAME; the client is stopped by PID with the servers.
ceph_mount() {
	mkdir -p "$1"
	for _ in $(seq 30); do
		ceph-fuse -f -c "$top/ceph/conf" --id "$2" "$1" >>"$top/ceph/$2.out" 2>&1 3>&- &
		servers+=($!)
		for _ in $(seq 100); do
			mountpoint -q "$1" && return 0
			kill -0 "$!" 2>/dev/null || break
			sleep 0.1
		done
		# it gives up while the metadata server is still coming up
		sleep 0.5
	done
	echo "ceph-fuse did not mount: $(tail -n 3 "$top/ceph/$2.out")"
	return 1
}

# namespace_of PID: every process in the mount namespace of PID.
namespace_of() {
	local ns p
	ns=$(readlink "/proc/$1/ns/mnt") || return 0
	for p in /proc/[0-9]*; do
		[ "$(readlink "$p/ns/mnt" 2>/dev/null)" != "$ns" ] || echo "${p#/proc/}"
	done
}

# across_mounts TWO: on a network file system mounted at $mnt and at TWO:
# 0 and hue of mode 000 root's, 17, 13 for another user in root's 0755
# directory, and of 20 runs racing through both mounts one 0.
across_mounts() {
	own
	mkdir -m 755 "$mnt/shut" "$mnt/across"
	probe_in "$mnt/shut"
	made "$mnt/shut" 0 0
	probe_in "$mnt/shut"
	expect 17
	rmdir "$mnt/shut/hue"
	probe_in "$mnt/shut" 65534
	expect 13
	ls "$mnt/across" "$1/across"
	race 10 "$mnt/across" "$1/across"
}

# blocks_past_sigterm DIR COMMAND...: a probe started in DIR, entered
# before COMMAND took the server away, blocks; timeout's SIGTERM does not
# end it, only the SIGKILL of -k (exit 137, nothing printed).
blocks_past_sigterm() {
	local dir=$1
	shift
	status=0
	(cd "$dir" && "$@" && exec timeout -k 2 5 "$top/mkdir-probe") >"$out" 2>"$err" || status=$?
	echo "exit $status, printed '$(cat "$out")'"
	[ "$status" = 137 ] && [ ! -s "$out" ]
}

# kill_tree PID: PID and every process below it, by SIGKILL, as a server
# that dies with its machine.
kill_tree() {
	local child
	for child in $(pgrep -P "$1"); do
		kill_tree "$child"
	done
	kill -KILL "$1" 2>/dev/null || true
}

@test "rclone mount: hue 755 of the mounting user and 0 for any user, 17, one 0 of 20 racing runs in one mount but one per mount across two, 0 where hue was made behind its listing, 17 once removed there, 5 for a link there" {
	needs fuse rclone
	mkdir "$top/src"
	rclone_mount "$mnt" "$top/src"
	rclone_mount "$top/two" "$top/src"
	own
	mkdir "$mnt/shut"
	chmod 700 "$mnt/shut" # taken without a word, and not kept
	probe_in "$mnt/shut" 65534
	made "$mnt/shut" 755 0
	probe_in "$mnt/shut"
	expect 17
	mkdir "$mnt/racing"
	race 20 "$mnt/racing"
	# Each mount caches what it listed, and the backend makes a directory
	# that is there already: a lock across mounts is no lock.
	mkdir "$mnt/across"
	ls "$mnt/across" "$top/two/across"
	race 10 "$mnt/across" "$top/two/across" || [[ $counts == "2 0 "* ]]
	[[ $counts == "2 0 "* ]]

	mkdir "$mnt/stale" "$mnt/link"
	ls "$mnt/stale" "$mnt/link"
	mkdir "$top/src/stale/hue"
	probe_in "$mnt/stale"
	expect 0
	rmdir "$top/src/stale/hue"
	probe_in "$mnt/stale"
	expect 17
	ln -s nowhere "$top/src/link/hue"
	probe_in "$mnt/link"
	expect 5
}

@test "rclone mount of WebDAV and SFTP remotes: one 0 per mount across two, and with the server gone WebDAV gives 5 by itself, SFTP blocks past SIGTERM until SIGKILL" {
	needs fuse rclone
	start_sshd
	start_webdav
	mkdir "$top/srv/dav" "$top/srv/sftp"
	sftp=(--sftp-host 127.0.0.1 --sftp-port "$port" --sftp-user root --sftp-key-file "$ssh/id")
	for remote in dav sftp; do
		if [ $remote = dav ]; then
			flags=(:webdav:dav --webdav-url "http://127.0.0.1:$dav_port")
		else
			flags=(":sftp:$top/srv/sftp" "${sftp[@]}")
		fi
		rclone_mount "$top/$remote-1" "${flags[@]}"
		rclone_mount "$top/$remote-2" "${flags[@]}"
		mkdir "$top/$remote-1/across" "$top/$remote-1/gone"
		ls "$top/$remote-1/across" "$top/$remote-2/across" "$top/$remote-1/gone"
		# the rest 17, or at times 5 over SFTP
		race 10 "$top/$remote-1/across" "$top/$remote-2/across" || [[ $counts == "2 0 "* ]]
		[[ $counts == "2 0 "* ]]
	done

	status=0
	start=$SECONDS
	(cd "$top/dav-1/gone" && kill_tree "$webdav" && exec timeout -k 5 120 "$top/mkdir-probe") \
		>"$out" 2>"$err" || status=$?
	echo "WebDAV gone: $((SECONDS - start)) s"
	expect 5
	blocks_past_sigterm "$top/sftp-1/gone" kill_tree "$sshd"
}

@test "MooseFS: hue of mode 000, 17, 13 for another user, one 0 of 20 racing runs across two mounts, root mapped to 999 without maproot, 30 on a read-only export, 122 to root too past a quota, and with the master gone a probe that only SIGKILL ends" {
	start_mfsmaster
	mfs_mount "$mnt"
	mfs_mount "$top/two"
	across_mounts "$top/two"
	mkdir -m 755 "$mnt/squash" "$mnt/ro" "$mnt/quota" "$mnt/gone"

	mkdir -m 1777 "$mnt/squash/open"
	mfs_mount "$top/squash" /squash
	probe_in "$top/squash"
	expect 13
	probe_in "$top/squash/open"
	made "$top/squash/open" 0 999
	mfs_mount "$top/ro" /ro
	probe_in "$top/ro"
	expect 30

	mfssetquota -I 1 "$mnt/quota" >/dev/null
	: >"$mnt/quota/file"
	errnos
	probe_in "$mnt/quota"
	expect "$EDQUOT"

	blocks_past_sigterm "$mnt/gone" kill -KILL "$mfsmaster"
}

@test "GlusterFS: hue of mode 000, 17, 13 for another user, one 0 of 20 racing runs across two mounts, still 0 with one of two replicas gone, 107 with every brick gone" {
	start_glusterd
	gluster_volume one b1
	gluster_volume two r1 r2
	gluster_mount "$mnt" one
	gluster_mount "$top/two" one
	across_mounts "$top/two"
	[ "$(stat -c '%F %a %u' "$top/gluster/b1/across/hue")" = "directory 0 0" ]
	mkdir "$mnt/gone"

	gluster_mount "$top/replica" two
	mkdir "$top/replica/half"
	kill -KILL "$(pgrep -f -- "--brick-name $top/gluster/r1( |\$)")"
	probe_in "$top/replica/half"
	made "$top/replica/half" 0 0
	brick=$(pgrep -f -- "--brick-name $top/gluster/b1( |\$)")
	status=0
	(cd "$mnt/gone" && kill -KILL "$brick" && sleep 0.5 && exec "$top/mkdir-probe") \
		>"$out" 2>"$err" || status=$?
	errnos
	expect "$ENOTCONN"
}

@test "CephFS: hue of mode 000, 17, 13 for another user, one 0 of 20 racing runs across two clients, 17 where another client made hue, 122 to root too past a file quota, and with the metadata server gone a probe that only SIGKILL ends" {
	start_ceph
	ceph_mount "$mnt" one
	ceph_mount "$top/two" two
	across_mounts "$top/two"
	mkdir -m 755 "$mnt/seen" "$mnt/quota" "$mnt/gone"
	ls "$top/two/seen"
	mkdir "$mnt/seen/hue"
	probe_in "$top/two/seen"
	expect 17

	# the directory itself counts as one of its files
	setfattr -n ceph.quota.max_files -v 2 "$mnt/quota"
	: >"$mnt/quota/file"
	errnos
	probe_in "$mnt/quota"
	expect "$EDQUOT"

	blocks_past_sigterm "$mnt/gone" kill -KILL "$mds"
}
