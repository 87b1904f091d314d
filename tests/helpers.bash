# SPDX-License-Identifier: ISC
# What the suites share: a run's output is in $out and $err, its exit
# status in $status.

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
