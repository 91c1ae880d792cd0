# SPDX-License-Identifier: GPL-2.0-only
# shellcheck shell=bash source-path=SCRIPTDIR
# Minimal Debian roots in the cache, made with mmdebstrap from the machine's
# mirrors, and commands run inside them.

# shellcheck source=apt.sh
. "$(dirname "${BASH_SOURCE[0]}")/apt.sh"

# mmdebstrap_into DIR SUITE MMDEBSTRAP_OPTION...: a minimal Debian SUITE in DIR,
# from the machine's mirrors; its log in DIR.log.
mmdebstrap_into() {
	local dir=$1 suite=$2 sources lines
	shift 2
	sources=$(suite_sources "$suite")
	mapfile -t lines <<<"$sources"
	if ! mmdebstrap --aptopt='Acquire::Check-Valid-Until "false"' "$@" "$suite" "$dir" "${lines[@]}" \
		>"$dir.log" 2>&1; then
		tail -n 40 "$dir.log" >&2
		die "mmdebstrap of $suite into $dir failed"
	fi
}

# make_root VAR NAME SUITE MMDEBSTRAP_OPTION...: makes a minimal Debian SUITE
# in the cache's roots/NAME with mmdebstrap and the given options, and sets
# the variable VAR to its path. A root is made anew weekly (a suite's compiler
# and tools get updates too) and whenever the options change.
make_root() {
	local -n made_root=$1
	local name=$2 suite=$3 dir sources key
	shift 3
	dir=$cache/roots/$name
	[ "$(id -u)" -eq 0 ] || die "build roots need root (mmdebstrap and chroot)"
	sources=$(suite_sources "$suite")
	key=$(printf '%s\n' "$suite" "$sources" "$@" | sha256sum | cut -c1-16)
	cached "$dir" "$key" 7 mmdebstrap_into "$dir" "$suite" "$@"
	# shellcheck disable=SC2034 # the caller's variable
	made_root=$dir
}

# What every build root holds: enough for Kbuild, sparse, and a kernel build.
build_root_packages=(make dwarves libc6-dev kmod bc perl python3 sparse bison flex libelf-dev)

# build_root VAR SUITE COMPILER: makes a minimal Debian SUITE with COMPILER
# and sets the variable VAR to it. Building there runs the kernel's own tools
# (objtool, modpost) against the C library they were built for.
build_root() {
	# Backports are built in their stable release, experimental in sid.
	local out=$1 suite=${2%-backports} compiler=$3 packages
	[ "$suite" != experimental ] || suite=sid
	packages=$(IFS=,; echo "$compiler,${build_root_packages[*]}")
	# A kernel built with LLVM=-N uses LLVM's linker and tools too.
	case $compiler in
	clang-*) packages+=",lld-${compiler#clang-},llvm-${compiler#clang-}" ;;
	esac
	make_root "$out" "$suite-$compiler" "$suite" --variant=minbase --include="$packages"
}

# in_root ROOT DIR... -- COMMAND...: runs COMMAND as root in ROOT, with each
# DIR there at its own path. Its / is a mount point (as mount namespaces
# want), with a /proc of its own (7.x's objtool reads its stack limit there),
# /sys, /dev and an empty /tmp; it is entered with pivot_root, not chroot, as
# no chrooted process may make a user namespace, which the tests of the
# programs do.
in_root() {
	local root=$1 dirs=()
	shift
	while [ "$1" != -- ]; do
		dirs+=("$1")
		shift
	done
	shift
	# shellcheck disable=SC2016 # expanded by the inner shell
	unshare --mount --pid --fork --propagation private -- bash -euo pipefail -c '
		root=$1 count=$2
		shift 2
		mount --bind "$root" "$root"
		mount -t proc proc "$root/proc"
		mount --rbind /sys "$root/sys"
		mount --rbind /dev "$root/dev"
		mount -t tmpfs tmpfs "$root/tmp"
		for ((i = 0; i < count; i++)); do
			mkdir -p "$root$1"
			mount --bind "$1" "$root$1"
			shift
		done
		cd "$root"
		mkdir tmp/.old-root
		pivot_root . tmp/.old-root
		# The root'\''s own umount, where it has one; else the old root stays
		# out of the way in the private /tmp.
		if command -v umount >/dev/null; then
			umount -l /tmp/.old-root
			rmdir /tmp/.old-root
		fi
		exec /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
			HOME=/tmp LC_ALL=C.UTF-8 "$@"' \
		in_root "$root" "${#dirs[@]}" "${dirs[@]}" "$@"
}
