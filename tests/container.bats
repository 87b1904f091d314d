# SPDX-License-Identifier: ISC
# The container image ($IMAGE, the OCI archive that packaging/release
# makes) run by podman as root, in a store of the test's own: nothing is
# left in the machine's images, containers, pods or volumes.

load helpers

setup() {
	[ "$(id -u)" = 0 ] || skip "podman runs containers here as root only"
	command -v podman >/dev/null || skip "podman is missing: apt-get install podman runc"
	[ -n "${IMAGE:-}" ] ||
		skip "no image: configure with -DMKDIR_PROBE_IMAGE=OUTDIR/mkdir-probe-VERSION-oci.tar from packaging/release"
	scratch
	# A pod's network namespace makes podman create /run/netns and
	# bind-mount it onto itself, which outlives the pod: teardown undoes
	# both if it was not there.
	netns_existed=0
	[ ! -e /run/netns ] || netns_existed=1
	# This machine type's quirks, for the tests only: crun refuses its
	# hybrid cgroups, root lacks CAP_SYS_RESOURCE to raise podman's
	# default rlimits, there is no systemd, and /dev/net/tun is unusable.
	cat >"$top/containers.conf" <<-END
	[containers]
	default_ulimits = ["nofile=1024:1024", "nproc=1024:1024"]
	netns = "none"
	[engine]
	runtime = "runc"
	cgroup_manager = "cgroupfs"
	events_logger = "file"
	END
	export CONTAINERS_CONF=$top/containers.conf
	podman=(podman --root "$top/store" --runroot "$top/run" --storage-driver vfs)
	name=$("${podman[@]}" load -q -i "$IMAGE" | sed -n 's/^Loaded image: //p')
	[ -n "$name" ]
	mkdir "$top/vol"
	"${podman[@]}" run --rm "$name" >/dev/null 2>"$top/err" ||
		skip "podman cannot run a container here: $(tail -n 1 "$top/err")"
}

teardown() {
	[ -n "${top:-}" ] || return 0
	"${podman[@]}" pod rm -af -t 0 >/dev/null 2>&1 || true
	"${podman[@]}" rm -af -t 0 >/dev/null 2>&1 || true
	# whatever podman left mounted in the test's store, innermost first
	findmnt -rn -o TARGET | grep "^$top/" | sort -r | xargs -r umount || true
	if [ "$netns_existed" = 0 ] && [ -d /run/netns ]; then
		findmnt -rn -o TARGET | grep '^/run/netns\(/\|$\)' | sort -r | xargs -r umount || true
		rmdir /run/netns || true
	fi
	rm -rf "$top"
}

# run_probe WANT PODMAN-RUN-ARGS...: a container of the image prints WANT
# and nothing else, with podman's default capabilities and with none. A
# directory it made in the volume must be the host's root's, mode 000; it
# is removed after each run, so that both runs start alike.
run_probe() {
	want=$1
	shift
	for caps in default --cap-drop=all; do
		args=("$@")
		[ "$caps" = default ] || args=("$caps" "$@")
		got=$("${podman[@]}" run --rm "${args[@]}" 2>"$top/err") || true
		echo "podman run ${args[*]}: '$got', stderr: $(cat "$top/err")"
		[ "$got" = "$want" ]
		[ ! -s "$top/err" ]
		if [ "$want" = 0 ] && [ -d "$top/vol/hue" ]; then
			[ "$(stat -c '%F %a %u' "$top/vol/hue")" = "directory 0 0" ]
			rmdir "$top/vol/hue"
		fi
	done
}

@test "container: a bind-mounted directory gives 0 and hue with mode 000 on the host, then 17" {
	run_probe 0 -v "$top/vol:/data" "$name"
	"${podman[@]}" run --rm -v "$top/vol:/data" "$name"
	run_probe 17 -v "$top/vol:/data" "$name"
}

@test "container: a read-only volume and a read-only root give 30" {
	run_probe 30 -v "$top/vol:/data:ro" "$name"
	run_probe 30 --read-only "$name"
	[ -z "$(ls -A "$top/vol")" ]
}

@test "container: another user gets 13 on a root-owned 0755 volume and on a tmpfs, where root gets 0" {
	chmod 755 "$top/vol"
	run_probe 13 --user 65534 -v "$top/vol:/data" "$name"
	[ -z "$(ls -A "$top/vol")" ]
	run_probe 13 --user 65534 --tmpfs /data "$name"
	run_probe 0 --tmpfs /data "$name"
}

@test "container: the manifest for every platform runs, emulated where foreign, and prints 0" {
	grep -v '^#' "$BATS_TEST_DIRNAME/../cmake/architectures" |
		while read -r arch gnu musl platform rpm; do
			"${podman[@]}" rmi -af >/dev/null
			got=$("${podman[@]}" run --rm -q --platform "$platform" \
				-v "$top/vol:/data" "oci-archive:$IMAGE" 2>"$top/err") || true
			ran=$("${podman[@]}" image inspect -f '{{.Os}}/{{.Architecture}}' \
				"$("${podman[@]}" images -q)")
			echo "$platform: ran $ran, printed '$got', stderr: $(cat "$top/err")"
			[ "$got" = 0 ]
			[[ $platform == "$ran"* ]]
			rmdir "$top/vol/hue"
		done
}

@test "container: an image built FROM scratch with COPY --from the probe's image runs the probe" {
	mkdir "$top/ctx"
	cat >"$top/ctx/Containerfile" <<-END
	FROM scratch
	COPY --from=$name /usr/bin/mkdir-probe /usr/local/bin/mkdir-probe
	WORKDIR /work
	ENTRYPOINT ["/usr/local/bin/mkdir-probe"]
	END
	"${podman[@]}" build -q -t localhost/probe-user "$top/ctx"
	run_probe 0 -v "$top/vol:/work" localhost/probe-user
}

@test "container: the Kubernetes pod logs 0, and 17 when played again on the same volume" {
	pod=$BATS_TEST_DIRNAME/../packaging/pod.yaml
	grep -qxF "      image: $name" "$pod" || {
		echo "$pod does not name $name"
		return 1
	}
	for want in 0 17; do
		"${podman[@]}" kube play "$pod" >/dev/null
		"${podman[@]}" wait mkdir-probe-probe >/dev/null
		[ "$("${podman[@]}" logs mkdir-probe-probe)" = "$want" ]
		"${podman[@]}" kube down "$pod" >/dev/null
	done
	"${podman[@]}" volume rm mkdir-probe-data
}
