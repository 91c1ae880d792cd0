# SPDX-License-Identifier: GPL-2.0-only
# shellcheck shell=dash # local, as dash and busybox have it
# The tests' tally: one "ok - ..." or "not ok - ..." line per check, and a
# count at the end. Plain sh, so that the kernel test's busybox guest and the
# VM journey's guest source it too.
passed=0 failed=0

# check NAME COMMAND...: runs COMMAND and counts its status as NAME's verdict.
check() {
	local name="$1"
	shift
	if "$@"; then
		echo "ok - $name"
		passed=$((passed + 1))
	else
		echo "not ok - $name"
		failed=$((failed + 1))
	fi
}

# summary WHAT: "WHAT: P passed, F failed", and a status that fails if any did.
summary() {
	echo "$*: $passed passed, $failed failed"
	[ "$failed" -eq 0 ]
}
