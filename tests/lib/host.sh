# SPDX-License-Identifier: GPL-2.0-only
# shellcheck shell=bash disable=SC2034,SC2154 # globals shared with the caller
# What the kernel and release tests share on the host (the caller sets `me`,
# its name in messages, and uses `set -euo pipefail`): the tally; one cache,
# shared by tests that run side by side, each item made once under its lock,
# anew when the way it is made changes (roots and images weekly too), and
# dropped after two weeks unused:
#   apt/SUITE/        a suite's package lists, in a private apt setup
#   roots/NAME/       minimal Debian roots: build roots, the release tests' roots
#   kernels/ABI_V/    a Debian kernel (image, headers, kbuild) unpacked, never installed
#   source/SERIES-V/  Debian's linux-source unpacked, and debug/SERIES-V/ a
#                     kernel built from it here, with memory and locking checkers
#   vm/RELEASE/       the disk of a release's machine
# and machines under emulation, started, watched and typed into on their console.

# shellcheck source=tally.sh
. "$(dirname "${BASH_SOURCE[0]}")/tally.sh"

cache=${TARROW_KERNEL_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/tarrow-kernels}
# What every build root holds: enough for Kbuild, sparse, and a kernel build.
root_packages=(make dwarves libc6-dev kmod bc perl python3 sparse bison flex libelf-dev)

die() {
	echo "$me: $*" >&2
	exit 1
}
# Under set -e a command that fails where nothing expects it ends the script;
# say which, rather than end without a word.
set -E
trap 'echo "$me: \"$BASH_COMMAND\" failed (${BASH_SOURCE[0]:-$0} line $LINENO)" >&2' ERR

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

# Runs apt-get or apt-cache against the private setup of a suite.
suite_apt() {
	local suite=$1 tool=$2
	shift 2
	APT_CONFIG=$cache/apt/$suite/apt.conf "$tool" "$@"
}

# update_lists SUITE [refresh]: makes sure the suite's package lists are there,
# and downloads them anew with "refresh". A suite that cannot be had is an
# error that quotes apt.
update_lists() {
	local dir=$cache/apt/$1
	[ -z "${2:-}" ] || rm -f "$dir/.cache-key"
	cached "$dir" lists 0 fill_lists "$1" "$dir"
}
fill_lists() {
	local suite=$1 dir=$2 log
	mkdir -p "$dir/lists/partial" "$dir/cache" "$dir/state" "$dir/parts"
	: >"$dir/state/status"
	suite_sources "$suite" >"$dir/sources.list"
	# Backports and experimental are NotAutomatic, at priority 100 and 1:
	# pinned like any other suite, their packages are the candidates even
	# where another suite's are on offer too.
	printf 'Package: *\nPin: release %s\nPin-Priority: 500\n\n' "n=$suite" "a=$suite" >"$dir/preferences"
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
	if ! log=$(suite_apt "$suite" apt-get update -q 2>&1) ||
		grep -qE '^(E:|W: (Failed|Some index files))' <<<"$log"; then
		echo "$log" >&2
		die "apt-get update of $suite failed"
	fi
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
	local suite=$1 found kernel
	update_lists "$suite"
	found=$(find_abi "$suite" "$2" "$3")
	[ -n "$found" ] || die "no $3 kernel of series $2 in $suite"
	read -r abi kernel_version <<<"$found"
	kernel=$cache/kernels/${abi}_$kernel_version
	cached "$kernel" "$(declare -f fill_kernel | sha256sum | cut -c1-12)" 0 fill_kernel "$suite" "$kernel"
	kernel_dirs=("$kernel")
	kernel_make=()
	kdir=$kernel/tree/usr/src/linux-headers-$abi
	vmlinuz=$kernel/vmlinuz
	compiler=$(sed -n 's/^CC *=.*\(gcc-[0-9][0-9]*\)$/\1/p' "$kdir/.kernelvariables" 2>/dev/null || true)
	[ -n "$compiler" ] || die "the $abi headers do not name their compiler"
}
fill_kernel() {
	local suite=$1 kernel=$2 tree=$2/tree log errors="" image depends common kbuild deb
	echo "Fetching kernel $abi ($kernel_version) from $suite into $kernel" >&2
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
	image=$(ls "$tree/boot/vmlinuz-$abi" "$tree"/{usr/,}lib/modules/"$abi"/vmlinuz{,.unsigned} 2>/dev/null || true)
	[ -n "$image" ] || die "no kernel image of $abi could be had:"$'\n'"$errors"
	ln -s "${image%%$'\n'*}" "$kernel/vmlinuz"
	# The flavour's Makefile names the common tree, and from 7.x on its
	# own output directory, by their installed paths.
	sed -i -E "s#^(include |KBUILD_OUTPUT ?:?= ?)/usr/src/#\1$tree/usr/src/#" \
		"$tree/usr/src/linux-headers-$abi/Makefile"
	if grep -nE '(^|[ ="])/usr/src/' "$tree/usr/src/linux-headers-$abi/Makefile" >&2; then
		die "the $abi headers' Makefile names installed paths this test does not know"
	fi
	rm -rf "$kernel/debs"
}

# mmdebstrap_into DIR SUITE MMDEBSTRAP_OPTION...: a minimal Debian SUITE in DIR,
# from the machine's mirrors; its log in DIR.log.
mmdebstrap_into() {
	local dir=$1 suite=$2 lines
	shift 2
	mapfile -t lines < <(suite_sources "$suite")
	if ! mmdebstrap --aptopt='Acquire::Check-Valid-Until "false"' "$@" "$suite" "$dir" "${lines[@]}" \
		>"$dir.log" 2>&1; then
		tail -n 40 "$dir.log" >&2
		die "mmdebstrap of $suite into $dir failed"
	fi
}

# make_root NAME SUITE MMDEBSTRAP_OPTION...: makes a minimal Debian SUITE in
# $cache/roots/NAME with mmdebstrap and the given options, and sets root to
# it. A root is made anew weekly (a suite's compiler and tools get updates
# too) and whenever the options change.
make_root() {
	local name=$1 suite=$2 key
	shift 2
	root=$cache/roots/$name
	[ "$(id -u)" -eq 0 ] || die "build roots need root (mmdebstrap and chroot)"
	key=$(printf '%s\n' "$suite" "$(suite_sources "$suite")" "$@" | sha256sum | cut -c1-16)
	cached "$root" "$key" 7 mmdebstrap_into "$root" "$suite" "$@"
}

# build_root SUITE COMPILER: makes a minimal Debian SUITE with COMPILER
# and sets root to it. Building there runs the kernel's own tools (objtool,
# modpost) against the C library they were built for.
build_root() {
	# Backports are built in their stable release, experimental in sid.
	local suite=${1%-backports} compiler=$2 packages
	[ "$suite" != experimental ] || suite=sid
	packages=$(IFS=,; echo "$compiler,${root_packages[*]}")
	# A kernel built with LLVM=-N uses LLVM's linker and tools too.
	case $compiler in
	clang-*) packages+=",lld-${compiler#clang-},llvm-${compiler#clang-}" ;;
	esac
	make_root "$suite-$compiler" "$suite" --variant=minbase --include="$packages"
}

# in_root DIR... -- COMMAND...: runs COMMAND as root in the root, with each DIR
# there at its own path. Its / is a mount point (as mount namespaces want), with
# a /proc of its own (7.x's objtool reads its stack limit there), /sys, /dev and
# an empty /tmp; it is entered with pivot_root, not chroot, as no chrooted
# process may make a user namespace, which the tests of the programs do.
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
	local tarball=/usr/src/linux-source-$1.tar.xz
	[ -f "$tarball" ] || die "$tarball is missing: install linux-source-$1"
	source_version=$(dpkg-query -W -f='${Version}' "linux-source-$1")
	source_tree=$cache/source/$1-$source_version
	cached "$source_tree" "$source_version" 0 tar -xJf "$tarball" -C "$source_tree" --strip-components=1
}

# build_debug_kernel SERIES FRAGMENT CLANG: builds Debian's linux-source-SERIES
# from tinyconfig plus FRAGMENT with CLANG (clang-N) and the rest of LLVM N, in
# a build root of the machine's release (the package's), and sets what
# fetch_kernel sets.
build_debug_kernel() {
	local series=$1 fragment=$2 suite key
	compiler=$3
	unpack_source "$series"
	kernel_version=$source_version
	suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
	[ -n "$suite" ] || die "cannot tell which Debian release this machine runs"
	build_root "$suite" "$compiler"
	# Kbuild picks clang, ld.lld, llvm-ar and the rest, host tools included.
	kernel_make=(LLVM="-${compiler#clang-}")
	kdir=$cache/debug/$series-$kernel_version
	key=$({ cat "$fragment"; echo "$compiler"; declare -f build_debug_kernel fill_debug_kernel; } |
		sha256sum | cut -c1-12)
	cached "$kdir" "$key" 0 fill_debug_kernel "$fragment"
	kernel_dirs=("$source_tree" "$kdir")
	vmlinuz=$kdir/arch/x86/boot/bzImage
	abi=$(cat "$kdir/include/config/kernel.release")
}
fill_debug_kernel() {
	local fragment=$1 missing step
	local make=(in_root "$source_tree" "$kdir" -- make -C "$source_tree" O="$kdir" ARCH=x86_64 "${kernel_make[@]}")
	echo "Building the debug kernel $series ($kernel_version) with $compiler in $kdir" >&2
	cp "$fragment" "$kdir/debug.config"
	for step in tinyconfig merge olddefconfig; do
		if [ $step = merge ]; then
			in_root "$source_tree" "$kdir" -- "$source_tree/scripts/kconfig/merge_config.sh" \
				-m -O "$kdir" "$kdir/.config" "$kdir/debug.config"
		else
			"${make[@]}" $step
		fi >>"$kdir/config.log" 2>&1 || { cat "$kdir/config.log" >&2; die "$step failed"; }
	done
	# Kconfig drops what it cannot have without a word (kCFI, with a
	# compiler that lacks -fsanitize=kcfi): every line of the fragment
	# must have survived.
	missing=$(grep -E '^(CONFIG_|# CONFIG_.* is not set)' "$fragment" | grep -vxF -f "$kdir/.config" || true)
	[ -z "$missing" ] || die "the debug kernel's configuration lacks:"$'\n'"$missing"
	if ! "${make[@]}" -j"$(nproc)" bzImage modules >"$kdir/build.log" 2>&1; then
		tail -n 50 "$kdir/build.log" >&2
		die "building the debug kernel failed"
	fi
}

# The machines the tests boot: emulated (KVM is not usable where this runs),
# with one host thread for both virtual CPUs. With a thread for each, TCG lets
# a CPU go on running code that the other has just patched, and Debian's
# kernels die of their own boot-time code patching now and then ("Oops: int3").
# A reset ends qemu, as a power-off does.
# shellcheck disable=SC2054 # commas within qemu's options
vm_options=(-accel tcg,thread=single -cpu max -smp 2 -display none -vga none -monitor none -nic none -no-reboot)

# vm_start CONSOLE QEMU_OPTION...: starts a machine whose first serial port is
# its console: what it shows goes to the file CONSOLE, and vm_type types into it.
vm_start() {
	vm_console=$1 vm_mark=0 vm_started=$SECONDS
	shift
	rm -f "$vm_console.in" "$vm_console.out"
	: >"$vm_console"
	mkfifo "$vm_console.in" "$vm_console.out"
	exec {vm_keys}<>"$vm_console.in"
	cat "$vm_console.out" >"$vm_console" &
	vm_reader=$!
	qemu-system-x86_64 "${vm_options[@]}" -chardev pipe,id=console,path="$vm_console" \
		-serial chardev:console "$@" </dev/null &
	vm_pid=$!
	# A test that is stopped stops its machine.
	trap vm_off EXIT
	trap 'exit 143' TERM INT HUP
}

# vm_type KEYS: types KEYS on the console; what the machine shows after them
# is what the next wait reads.
vm_type() {
	[ -n "$1" ] || return 0
	vm_mark=$(stat -c %s "$vm_console")
	printf '%s' "$1" >&"$vm_keys"
}

# vm_wait TEXT LIMIT [FILE]: waits at most LIMIT seconds until the console
# shows TEXT after what was last typed or waited for (or FILE shows it); with
# no TEXT, until the machine is off. Says why it failed, and then the machine
# is off: a kernel panic ends it at once.
vm_wait() {
	local text=$1 deadline=$((SECONDS + $2)) file=${3:-$vm_console} from=0 panic seen status=running
	[ -n "${3:-}" ] || from=$vm_mark
	while :; do
		if ! kill -0 "$vm_pid" 2>/dev/null; then
			status=0
			wait "$vm_pid" || status=$?
			vm_off
		fi
		panic=$(tr -d '\r' <"$vm_console" | grep -m 1 -B 2 -A 12 'Kernel panic - not syncing' || true)
		if [ -n "$panic" ]; then
			vm_off
			printf '%s\n' "$panic" "the kernel panicked, $((SECONDS - vm_started)) s into the boot"
			return 1
		fi
		# The next wait starts after what was seen. grep reads to the end: a
		# reader that stops early fails the pipe.
		if [ -n "$text" ] && seen=$(tail -c +$((from + 1)) "$file" 2>/dev/null | grep -abo -F -- "$text") &&
			[ -n "$seen" ]; then
			[ -n "${3:-}" ] || vm_mark=$((from + ${seen%%:*} + ${#text}))
			return 0
		fi
		if [ "$status" != running ]; then
			[ -z "$text" ] && [ "$status" -eq 0 ] && return 0
			echo "the machine went off (qemu status $status)${text:+ before \"$text\" showed}"
			return 1
		fi
		if [ "$SECONDS" -ge "$deadline" ]; then
			vm_off
			echo "${text:+\"$text\" did not show and }the machine did not go off within $2 s"
			return 1
		fi
		sleep 1
	done
}

# vm_off: the machine off, its console read to the end.
vm_off() {
	kill "$vm_pid" 2>/dev/null || true
	wait "$vm_pid" 2>/dev/null || true
	# The reader ends with qemu's end of the pipe; if qemu never opened it,
	# it waits still.
	timeout 10 tail --pid="$vm_reader" -f /dev/null || kill "$vm_reader" 2>/dev/null || true
	wait "$vm_reader" 2>/dev/null || true
	exec {vm_keys}>&-
	rm -f "$vm_console.in" "$vm_console.out"
}

# converse LIMIT TEXT KEYS...: answers the console as someone at the machine
# would, reading each screen before pressing a key: for each pair, waits at
# most LIMIT seconds for TEXT, then types KEYS.
converse() {
	local limit=$1 keys
	shift
	while [ $# -ge 2 ]; do
		vm_wait "$1" "$limit" || return 1
		keys=${2//$'\e[B'/<Down>}
		keys=${keys//$'\r'/<Enter>}
		echo "console, $((SECONDS - vm_started)) s: \"$1\"; typed: ${keys:-nothing}"
		sleep 1
		vm_type "$2"
		shift 2
	done
}
