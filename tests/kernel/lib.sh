# SPDX-License-Identifier: GPL-2.0-only
# shellcheck shell=bash disable=SC2034,SC2154 # globals shared with the caller
# Sourced by the kernel and release test scripts. It keeps, in one cache
# shared by tests that run side by side:
#   apt/SUITE/      package lists of a Debian suite, in a private apt setup that
#                   leaves the machine's own sources alone
#   roots/NAME/     build roots: a minimal Debian of a suite with the compiler
#                   its kernels were built with, or what a release test needs
#   kernels/ABI_V/  a Debian kernel (image, headers, kbuild) unpacked, never installed
#   source/VERSION/ Debian's linux-source unpacked
#   debug/VERSION/  a kernel built from it here, with memory and locking checkers
# Every step that fills the cache holds a lock on what it fills, so two tests
# that need the same thing build it once.
#
# The caller sets `me` (its name in messages) and uses `set -euo pipefail`.

cache=${TARROW_KERNEL_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/tarrow-kernels}
# What every build root holds: enough for Kbuild, sparse, and a kernel build.
root_packages=(make dwarves libc6-dev kmod bc perl python3 sparse bison flex libelf-dev)
lock_wait=3000

die() {
	echo "$me: $*" >&2
	exit 1
}

# machine_mirror debian|security: the first Debian archive (or security
# archive) in this machine's own apt sources, as apt resolved it, so that a
# local mirror or proxy the machine uses serves the tests too.
machine_mirror() {
	apt-get indextargets --format '$(ORIGIN)|$(SUITE)|$(RELEASE)|$(REPO_URI)' 2>/dev/null |
		awk -F'|' -v want="$1" '$1 == "Debian" {
			security = ($2 $3) ~ /-security/
			if (security == (want == "security")) { sub("/+$", "", $4); print $4; exit }
		}'
}
debian_mirror=${TARROW_DEBIAN_MIRROR:-$(machine_mirror debian)}
security_mirror=${TARROW_DEBIAN_SECURITY_MIRROR:-$(machine_mirror security)}
[ -n "$debian_mirror" ] || die "no Debian archive in this machine's apt sources (after apt-get update):" \
	"set TARROW_DEBIAN_MIRROR to one"

# suite_sources SUITE: the apt lines of a suite, its security updates included
# where it has them.
suite_sources() {
	echo "deb $debian_mirror $1 main"
	case $1 in
	sid | unstable | experimental | *-backports) ;;
	*)
		[ -n "$security_mirror" ] || die "no Debian security archive in this machine's apt sources" \
			"(after apt-get update): set TARROW_DEBIAN_SECURITY_MIRROR to one"
		echo "deb $security_mirror $1-security main"
		;;
	esac
}

# Under set -e a command that fails where nothing expects it ends the script;
# say which, rather than end without a word.
set -E
trap 'echo "$me: \"$BASH_COMMAND\" failed (${BASH_SOURCE[0]:-$0} line $LINENO)" >&2' ERR

# lock FILE: holds FILE's lock until unlock, waiting at most $lock_wait seconds.
lock() {
	mkdir -p "$(dirname "$1")"
	exec {lock_fd}>"$1"
	flock -w "$lock_wait" "$lock_fd" || die "gave up waiting for the lock $1"
}
unlock() {
	flock -u "$lock_fd"
	exec {lock_fd}>&-
}

# The suite a build root comes from: backports are built in their stable
# release, experimental in sid.
root_suite() {
	case $1 in
	*-backports) echo "${1%-backports}" ;;
	experimental) echo sid ;;
	*) echo "$1" ;;
	esac
}

apt_dir() { echo "$cache/apt/$1"; }

# Runs apt-get or apt-cache against the private setup of a suite.
suite_apt() {
	local suite=$1 tool=$2
	shift 2
	APT_CONFIG=$(apt_dir "$suite")/apt.conf "$tool" "$@"
}

# update_lists SUITE [refresh]: makes sure the suite's package lists are there,
# and downloads them anew with "refresh". A suite that cannot be had is an
# error that quotes apt.
update_lists() {
	local suite=$1 refresh=${2:-} dir
	dir=$(apt_dir "$suite")
	lock "$dir.lock"
	if [ -n "$refresh" ] || [ ! -e "$dir/updated" ]; then
		rm -f "$dir/updated"
		mkdir -p "$dir/lists/partial" "$dir/cache" "$dir/state" "$dir/parts"
		: >"$dir/state/status"
		suite_sources "$suite" >"$dir/sources.list"
		# Backports and experimental are NotAutomatic, at priority 100 and 1:
		# pinned like any other suite, their packages are the candidates even
		# where another suite's are on offer too.
		printf 'Package: *\nPin: release %s\nPin-Priority: 500\n\n' "n=$suite" "a=$suite" \
			>"$dir/preferences"
		# A mirror that lags keeps a Release file past its Valid-Until date
		# (sid's, at times); the test wants the packages all the same.
		cat >"$dir/apt.conf" <<-EOF
			Dir::Etc::SourceList "$dir/sources.list";
			Dir::Etc::SourceParts "$dir/parts";
			Dir::Etc::Preferences "$dir/preferences";
			Dir::Etc::PreferencesParts "$dir/parts";
			Dir::State "$dir/state";
			Dir::State::Lists "$dir/lists";
			Dir::State::status "$dir/state/status";
			Dir::Cache "$dir/cache";
			Acquire::Check-Valid-Until "false";
			APT::Sandbox::User "$(id -un)";
		EOF
		local log
		if ! log=$(suite_apt "$suite" apt-get update -q 2>&1) ||
			grep -qE '^(E:|W: (Failed|Some index files))' <<<"$log"; then
			echo "$log" >&2
			die "apt-get update of $suite failed"
		fi
		touch "$dir/updated"
	fi
	unlock
}

# find_abi SUITE SERIES FLAVOUR: prints the ABI name and package version of the
# newest kernel of a series (or of any series, for "newest") in the suite.
# Metapackages such as linux-headers-6.12-cloud-amd64 have names of the same
# shape, so only headers that come with a common part and a kbuild count.
find_abi() {
	local suite=$1 series=$2 flavour=$3 series_re names best="" best_version="" pkg version
	if [ "$series" = newest ]; then
		series_re='[0-9]+\.[0-9]+'
	else
		series_re=${series//./\\.}
	fi
	names=$(suite_apt "$suite" apt-cache pkgnames linux-headers- |
		grep -E "^linux-headers-$series_re(\.[0-9]+)*(-[0-9][0-9a-z.]*|\+[0-9a-z.]+)?-$flavour\$" || true)
	[ -n "$names" ] || return 0
	# shellcheck disable=SC2086 # one argument per package name
	while read -r pkg version; do
		if [ -z "$best" ] || dpkg --compare-versions "$version" gt "$best_version"; then
			best=$pkg best_version=$version
		fi
	done < <(suite_apt "$suite" apt-cache show --no-all-versions $names | awk '
		/^Package: / { pkg = $2 }
		/^Version: / { version = $2 }
		/^Depends: / { real = /linux-headers-[^ ,]*-common/ && /linux-kbuild-/ }
		/^$/ { if (real) print pkg, version; real = 0 }
		END { if (real) print pkg, version }')
	[ -z "$best" ] || echo "${best#linux-headers-} $best_version"
}

# fetch_kernel SUITE SERIES FLAVOUR: downloads and unpacks the kernel and its
# headers, once, and sets abi, kernel_version, kdir, vmlinuz, compiler
# (gcc-N, as the headers name it), kernel_dirs (what a build must see) and
# kernel_make (what make must be told to build against it).
fetch_kernel() {
	local suite=$1 series=$2 flavour=$3 found kernel tree log errors="" image depends common kbuild
	update_lists "$suite"
	found=$(find_abi "$suite" "$series" "$flavour")
	[ -n "$found" ] || die "no $flavour kernel of series $series in $suite"
	read -r abi kernel_version <<<"$found"
	kernel=$cache/kernels/${abi}_$kernel_version
	tree=$kernel/tree
	lock "$kernel.lock"
	if [ ! -e "$kernel/complete" ]; then
		echo "Fetching kernel $abi ($kernel_version) from $suite into $kernel" >&2
		rm -rf "$kernel"
		mkdir -p "$kernel/debs" "$tree"
		depends=$(suite_apt "$suite" apt-cache show --no-all-versions "linux-headers-$abi" |
			sed -n 's/^Depends: //p' | tr ',' '\n' | sed 's/^ *//; s/ .*//')
		common=$(grep -E '^linux-headers-.*-common(-rt)?$' <<<"$depends" | head -n 1 || true)
		kbuild=$(grep -E '^linux-kbuild-' <<<"$depends" | head -n 1 || true)
		[ -n "$common" ] && [ -n "$kbuild" ] || die "cannot tell what linux-headers-$abi depends on"
		if ! log=$(cd "$kernel/debs" &&
			suite_apt "$suite" apt-get download -q "linux-headers-$abi" "$common" "$kbuild" 2>&1); then
			echo "$log" >&2
			die "apt-get download of the $abi headers failed"
		fi
		# Unsigned images first; 7.x moved the kernel into linux-binary-*. Where
		# the unsigned package is listed but missing from the pool, the signed
		# one carries the same kernel.
		for image in "linux-image-$abi-unsigned" "linux-binary-unsigned-$abi" \
			"linux-image-$abi" "linux-binary-$abi"; do
			suite_apt "$suite" apt-cache show --no-all-versions "$image" >/dev/null 2>&1 || continue
			if log=$(cd "$kernel/debs" && suite_apt "$suite" apt-get download -q "$image" 2>&1); then
				echo "Kernel image from $image" >&2
				break
			fi
			errors+="$image: $log"$'\n'
		done
		for deb in "$kernel"/debs/*.deb; do dpkg-deb -x "$deb" "$tree"; done
		vmlinuz=$(find_vmlinuz "$tree" "$abi")
		[ -n "$vmlinuz" ] || die "no kernel image of $abi could be had:"$'\n'"$errors"
		# The flavour's Makefile names the common tree, and from 7.x on its
		# own output directory, by their installed paths.
		sed -i -E "s#^(include |KBUILD_OUTPUT ?:?= ?)/usr/src/#\1$tree/usr/src/#" \
			"$tree/usr/src/linux-headers-$abi/Makefile"
		if grep -nE '(^|[ ="])/usr/src/' "$tree/usr/src/linux-headers-$abi/Makefile" >&2; then
			die "the $abi headers' Makefile names installed paths this test does not know"
		fi
		rm -rf "$kernel/debs"
		touch "$kernel/complete"
	fi
	touch "$kernel.used"
	unlock
	prune_cache
	kernel_dirs=("$kernel")
	kernel_make=()
	kdir=$tree/usr/src/linux-headers-$abi
	vmlinuz=$(find_vmlinuz "$tree" "$abi")
	compiler=$(sed -n 's/^CC *=.*\(gcc-[0-9][0-9]*\)$/\1/p' "$kdir/.kernelvariables" 2>/dev/null || true)
	[ -n "$compiler" ] || die "the $abi headers do not name their compiler"
}

# Kernels and sources the archive has moved past are dropped from the cache
# after two weeks without use. Each use touches ITEM.used beside the item.
prune_cache() {
	local used item dirs=() dir
	for dir in kernels debug source; do
		[ ! -d "$cache/$dir" ] || dirs+=("$cache/$dir")
	done
	[ ${#dirs[@]} -gt 0 ] || return 0
	while read -r used; do
		item=${used%.used}
		lock "$item.lock"
		if [ -n "$(find "$used" -mtime +14 2>/dev/null || true)" ]; then
			echo "Dropping $item from the cache, unused for two weeks" >&2
			rm -rf "$item" "$item.complete" "$used"
		fi
		unlock
	done < <(find "${dirs[@]}" -mindepth 1 -maxdepth 1 -name '*.used' -mtime +14)
}

find_vmlinuz() {
	local candidate
	for candidate in "$1/boot/vmlinuz-$2" "$1/usr/lib/modules/$2/vmlinuz" \
		"$1/usr/lib/modules/$2/vmlinuz.unsigned" "$1/lib/modules/$2/vmlinuz"; do
		if [ -f "$candidate" ]; then
			echo "$candidate"
			return
		fi
	done
	return 0
}

# make_root NAME SUITE MMDEBSTRAP_OPTION...: makes a minimal Debian SUITE in
# $cache/roots/NAME with mmdebstrap and the given options, and sets root to
# it. A root is made anew weekly (a suite's compiler and tools get updates
# too) and whenever the options change.
make_root() {
	local name=$1 suite=$2 log sources key
	shift 2
	root=$cache/roots/$name
	[ "$(id -u)" -eq 0 ] || die "build roots need root (mmdebstrap and chroot)"
	sources=$(suite_sources "$suite")
	key=$(printf '%s\n' "$suite" "$sources" "$@" | sha256sum | cut -c1-16)
	lock "$root.lock"
	if [ -z "$(find "$root.complete" -mtime -7 2>/dev/null)" ] ||
		[ "$(cat "$root.complete")" != "$key" ]; then
		echo "Making the build root $root" >&2
		rm -rf "$root" "$root.complete"
		local lines
		mapfile -t lines <<<"$sources"
		if ! log=$(mmdebstrap --aptopt='Acquire::Check-Valid-Until "false"' "$@" \
			"$suite" "$root" "${lines[@]}" 2>&1); then
			echo "$log" >&2
			rm -rf "$root"
			die "mmdebstrap of $suite ($name) failed"
		fi
		echo "$key" >"$root.complete"
	fi
	unlock
}

# build_root SUITE COMPILER: makes a minimal Debian SUITE with COMPILER
# and sets root to it. Building there runs the kernel's own tools (objtool,
# modpost) against the C library they were built for.
build_root() {
	local suite compiler=$2 packages
	suite=$(root_suite "$1")
	packages=$(IFS=,; echo "$compiler,${root_packages[*]}")
	# A kernel built with LLVM=-N uses LLVM's linker and tools too.
	case $compiler in
	clang-*) packages+=",lld-${compiler#clang-},llvm-${compiler#clang-}" ;;
	esac
	make_root "$suite-$compiler" "$suite" --variant=minbase --include="$packages"
}

# in_root DIR... -- COMMAND...: runs COMMAND as root in the build root, with
# each DIR visible there at its own path. The root is a real one for what runs
# there: its / a mount point (bound onto itself, as mount namespaces want it),
# with a /proc of its own (objtool of 7.x reads its stack limit there), /sys,
# /dev with /dev/pts, and an empty /tmp. It is entered with pivot_root, not
# chroot: the kernel lets no chrooted process make a user namespace, which the
# tests of the programs do.
in_root() {
	local dirs=()
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

# unpack_source SERIES: unpacks Debian's linux-source-SERIES once and sets
# source_tree and source_version. The tree is left as shipped: kernels are
# built from it into other directories.
unpack_source() {
	local series=$1 tarball
	tarball=/usr/src/linux-source-$series.tar.xz
	[ -f "$tarball" ] || die "$tarball is missing: install linux-source-$series"
	source_version=$(dpkg-query -W -f='${Version}' "linux-source-$series")
	source_tree=$cache/source/$series-$source_version
	lock "$source_tree.lock"
	if [ ! -e "$source_tree.complete" ]; then
		echo "Unpacking $tarball into $source_tree" >&2
		rm -rf "$source_tree"
		mkdir -p "$source_tree"
		tar -xJf "$tarball" -C "$source_tree" --strip-components=1
		touch "$source_tree.complete"
	fi
	touch "$source_tree.used"
	unlock
}

# build_debug_kernel SERIES FRAGMENT CLANG: builds, once per source version and
# fragment, the kernel of Debian's linux-source-SERIES package from tinyconfig
# plus the fragment, with CLANG (clang-N) and the rest of LLVM N (LLVM=-N), in
# a build root of the machine's own release (the one the package comes from).
# Sets abi, kernel_version, kdir, vmlinuz, compiler, root, kernel_dirs and
# kernel_make.
build_debug_kernel() {
	local series=$1 fragment=$2 suite key dir missing
	compiler=$3
	unpack_source "$series"
	kernel_version=$source_version
	suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
	[ -n "$suite" ] || die "cannot tell which Debian release this machine runs"
	build_root "$suite" "$compiler"
	key=$({ cat "$fragment"; echo "$compiler"; declare -f build_debug_kernel; } | sha256sum | cut -c1-12)
	dir=$cache/debug/$series-$kernel_version-$key
	# Kbuild picks clang, ld.lld, llvm-ar and the rest, host tools included.
	kernel_make=(LLVM="-${compiler#clang-}")
	lock "$dir.lock"
	if [ ! -e "$dir/complete" ]; then
		echo "Building the debug kernel $series ($kernel_version) with $compiler in $dir" >&2
		rm -rf "$dir"
		mkdir -p "$dir"
		cp "$fragment" "$dir/debug.config"
		local make=(make -C "$source_tree" O="$dir" ARCH=x86_64 "${kernel_make[@]}")
		local binds=("$source_tree" "$dir" --)
		in_root "${binds[@]}" "${make[@]}" tinyconfig >"$dir/config.log" 2>&1 ||
			{ cat "$dir/config.log" >&2; die "tinyconfig failed"; }
		in_root "${binds[@]}" "$source_tree/scripts/kconfig/merge_config.sh" \
			-m -O "$dir" "$dir/.config" "$dir/debug.config" >>"$dir/config.log" 2>&1 ||
			{ cat "$dir/config.log" >&2; die "merging $fragment failed"; }
		in_root "${binds[@]}" "${make[@]}" olddefconfig >>"$dir/config.log" 2>&1 ||
			{ cat "$dir/config.log" >&2; die "olddefconfig failed"; }
		# Kconfig drops what it cannot have without a word (kCFI, with a
		# compiler that lacks -fsanitize=kcfi): every line of the fragment
		# must have survived.
		missing=$(grep -E '^(CONFIG_|# CONFIG_.* is not set)' "$fragment" |
			grep -vxF -f "$dir/.config" || true)
		[ -z "$missing" ] || die "the debug kernel's configuration lacks:"$'\n'"$missing"
		if ! in_root "${binds[@]}" "${make[@]}" -j"$(nproc)" bzImage modules >"$dir/build.log" 2>&1; then
			tail -n 50 "$dir/build.log" >&2
			die "building the debug kernel failed"
		fi
		touch "$dir/complete"
	fi
	touch "$dir.used"
	unlock
	prune_cache
	kernel_dirs=("$source_tree" "$dir")
	kdir=$dir
	vmlinuz=$dir/arch/x86/boot/bzImage
	abi=$(cat "$kdir/include/config/kernel.release")
}
