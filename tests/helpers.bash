# SPDX-License-Identifier: ISC
# What the suites share: a run's output is in $out and $err, its exit
# status in $status.

# scratch: a new directory $top for the case, that user 65534 may enter.
# 00755 also clears the set-group-ID bit that a TMPDIR of mode 2777 hands
# down: every directory made below would take it, and hue 2000 with it.
scratch() {
	top=$(mktemp -d)
	chmod 00755 "$top"
}

# expect N: the run wrote exactly "N\n", nothing on stderr, and exited 0.
expect() {
	if ! printf '%s\n' "$1" | cmp -s - "$out" || [ -s "$err" ] || [ "$status" != 0 ]; then
		echo "want $1, exit 0; got: $(od -An -c "$out"), exit $status, stderr: $(cat "$err")"
		return 1
	fi
}

# errnos: set EOVERFLOW, EDQUOT and ENOTCONN as the probe's architecture
# numbers them.
errnos() {
	read -r EOVERFLOW EDQUOT ENOTCONN < <("$ERRNOS")
}

# race N DIR...: N runs started at once in each DIR; exactly one of them
# all prints 0 and the others 17. "COUNT VALUE ..." as seen is in $counts.
race() {
	local n=$1 i dir
	shift
	racers=()
	for i in $(seq "$n"); do
		for dir; do
			(cd "$dir" && exec "$PROBE") >"$top/race.${#racers[@]}" &
			racers+=($!)
		done
	done
	wait "${racers[@]}" # not the servers a case may have started
	counts=$(sort -n "$top"/race.* | uniq -c | xargs)
	rm -f "$top"/race.*
	echo "counts and values: $counts"
	[ "$counts" = "1 0 $((n * $# - 1)) 17" ]
}
