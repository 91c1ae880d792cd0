# SPDX-License-Identifier: GPL-2.0-only
# shellcheck shell=bash source-path=SCRIPTDIR
# The cache the kernel and release tests share, also between tests that run
# side by side: each item made once under its lock, anew when the way it is
# made changes (roots and images weekly too), dropped after two weeks unused.
#   apt/SUITE/        a suite's package lists, in a private apt setup (apt.sh)
#   roots/NAME/       minimal Debian roots: build roots, the release tests' roots (roots.sh)
#   kernels/ABI_V/    a Debian kernel (image, headers, kbuild) unpacked, never installed (kernels.sh)
#   source/SERIES-V/  Debian's linux-source unpacked, and debug/SERIES-V/ a
#                     kernel built from it here, with memory and locking checkers
#   vm/RELEASE/       the disk of a release's machine (tests/releases/vm-journey)

# shellcheck source=script.sh
. "$(dirname "${BASH_SOURCE[0]}")/script.sh"

# shellcheck disable=SC2034 # for the files that source this one
cache=${TARROW_KERNEL_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/tarrow-kernels}

# cached DIR KEY DAYS COMMAND...: DIR in the cache, made by COMMAND (DIR empty
# when it starts) unless it holds what COMMAND made for KEY, within the last
# DAYS days if DAYS is not 0. Items of DIR's folder unused for two weeks go.
# The key is kept inside DIR: whatever else empties or refills DIR (another
# version of these tests sharing the cache) takes it along.
cached() {
	local dir=$1 key=$2 days=$3 fd used
	shift 3
	mkdir -p "$(dirname "$dir")"
	exec {fd}>"$dir.lock"
	flock -w 3000 "$fd" || die "gave up waiting for the lock $dir.lock"
	if [ "$(cat "$dir/.cache-key" 2>/dev/null)" != "$key" ] ||
		{ [ "$days" -gt 0 ] && [ -z "$(find "$dir/.cache-key" -mtime -"$days")" ]; }; then
		unmount_below "$dir"
		rm -rf "$dir"
		mkdir -p "$dir"
		"$@"
		echo "$key" >"$dir/.cache-key"
	fi
	touch "$dir.used"
	exec {fd}>&-
	find "$(dirname "$dir")" -maxdepth 1 -name '*.used' -mtime +14 | while read -r used; do
		echo "Dropping ${used%.used} from the cache, unused for two weeks" >&2
		flock -n "${used%.used}.lock" rm -rf "${used%.used}" "$used" || true
	done
}

# unmount_below DIR: a build killed midway (mmdebstrap's, for one) leaves what
# it mounted in DIR mounted, which rm cannot remove.
unmount_below() {
	local point
	awk -v dir="$1/" 'index($5, dir) == 1 { print $5 }' /proc/self/mountinfo | sort -r |
		while read -r point; do
			umount -l "$point" || die "cannot unmount $point, left mounted in the cache"
		done
}
