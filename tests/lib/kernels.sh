# SPDX-License-Identifier: GPL-2.0-only
# shellcheck shell=bash source-path=SCRIPTDIR
# The kernels the module is built against: Debian's, fetched and unpacked in
# the cache (never installed), and one built here from Debian's source with
# memory and locking checkers on. Either is described by an associative array
# the caller names, which these functions fill:
#   abi       the kernel's release, as `uname -r` says it
#   version   its package (or source) version
#   vmlinuz   the image qemu boots
#   kdir      the tree Kbuild builds modules against
#   compiler  the compiler it was built with (gcc-N as the headers name it, clang-N)
#   root      the build root that has that compiler (roots.sh)
#   dirs      what a build must see of it, one folder a line
#   llvm      for a kernel built with LLVM=-N, that -N; else empty

# shellcheck source=roots.sh
. "$(dirname "${BASH_SOURCE[0]}")/roots.sh"

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

# fetch_kernel KERNEL SUITE SERIES FLAVOUR: downloads and unpacks the newest
# kernel of SERIES and FLAVOUR in SUITE and its headers, once, makes the build
# root of its compiler, and fills the array KERNEL (see above).
fetch_kernel() {
	local -n fetched=$1
	local suite=$2 series=$3 flavour=$4 found abi version dir kdir compiler root
	update_lists "$suite"
	found=$(find_abi "$suite" "$series" "$flavour")
	[ -n "$found" ] || die "no $flavour kernel of series $series in $suite"
	read -r abi version <<<"$found"
	dir=$cache/kernels/${abi}_$version
	cached "$dir" "$(declare -f fill_kernel | sha256sum | cut -c1-12)" 0 fill_kernel "$suite" "$abi" "$version" "$dir"
	kdir=$dir/tree/usr/src/linux-headers-$abi
	compiler=$(sed -n 's/^CC *=.*\(gcc-[0-9][0-9]*\)$/\1/p' "$kdir/.kernelvariables" 2>/dev/null || true)
	[ -n "$compiler" ] || die "the $abi headers do not name their compiler"
	build_root root "$suite" "$compiler"
	# shellcheck disable=SC2034 # the caller's array
	fetched=([abi]=$abi [version]=$version [vmlinuz]=$dir/vmlinuz [kdir]=$kdir [compiler]=$compiler
		[root]=$root [dirs]=$dir [llvm]="")
}
# fill_kernel SUITE ABI VERSION DIR: the kernel ABI (package version VERSION)
# of SUITE unpacked in DIR/tree, its image linked as DIR/vmlinuz.
fill_kernel() {
	local suite=$1 abi=$2 version=$3 dir=$4 tree=$4/tree log errors="" image depends common kbuild deb
	echo "Fetching kernel $abi ($version) from $suite into $dir" >&2
	mkdir -p "$dir/debs" "$tree"
	depends=$(suite_apt "$suite" apt-cache show --no-all-versions "linux-headers-$abi" |
		sed -n 's/^Depends: //p' | tr ',' '\n' | sed 's/^ *//; s/ .*//')
	common=$(grep -E '^linux-headers-.*-common(-rt)?$' <<<"$depends" | head -n 1 || true)
	kbuild=$(grep -E '^linux-kbuild-' <<<"$depends" | head -n 1 || true)
	if [ -z "$common" ] || [ -z "$kbuild" ]; then
		die "cannot tell what linux-headers-$abi depends on"
	fi
	if ! log=$(cd "$dir/debs" &&
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
		if log=$(cd "$dir/debs" && suite_apt "$suite" apt-get download -q "$image" 2>&1); then
			echo "Kernel image from $image" >&2
			break
		fi
		errors+="$image: $log"$'\n'
	done
	for deb in "$dir"/debs/*.deb; do dpkg-deb -x "$deb" "$tree"; done
	image=$(ls "$tree/boot/vmlinuz-$abi" "$tree"/{usr/,}lib/modules/"$abi"/vmlinuz{,.unsigned} 2>/dev/null || true)
	[ -n "$image" ] || die "no kernel image of $abi could be had:"$'\n'"$errors"
	ln -s "${image%%$'\n'*}" "$dir/vmlinuz"
	# The flavour's Makefile names the common tree, and from 7.x on its
	# own output directory, by their installed paths.
	sed -i -E "s#^(include |KBUILD_OUTPUT ?:?= ?)/usr/src/#\1$tree/usr/src/#" \
		"$tree/usr/src/linux-headers-$abi/Makefile"
	if grep -nE '(^|[ ="])/usr/src/' "$tree/usr/src/linux-headers-$abi/Makefile" >&2; then
		die "the $abi headers' Makefile names installed paths this test does not know"
	fi
	rm -rf "$dir/debs"
}

# kernel_make KERNEL DIR... -- MAKE_ARGUMENT...: make in KERNEL's build root,
# against it (KDIR, and LLVM for a kernel built with it), each DIR seen there
# at its own path.
kernel_make() {
	local -n built_with=$1
	local dirs
	shift
	mapfile -t dirs <<<"${built_with[dirs]}"
	while [ "$1" != -- ]; do
		dirs+=("$1")
		shift
	done
	shift
	in_root "${built_with[root]}" "${dirs[@]}" -- \
		make KDIR="${built_with[kdir]}" ${built_with[llvm]:+LLVM="${built_with[llvm]}"} "$@"
}

# unpack_source SOURCE SERIES: unpacks Debian's linux-source-SERIES once and
# fills the array SOURCE: tree, version. The tree is left as shipped: kernels
# are built from it into other directories.
unpack_source() {
	local -n unpacked=$1
	local series=$2 tarball=/usr/src/linux-source-$2.tar.xz version tree
	[ -f "$tarball" ] || die "$tarball is missing: install linux-source-$series"
	version=$(dpkg-query -W -f='${Version}' "linux-source-$series")
	tree=$cache/source/$series-$version
	cached "$tree" "$version" 0 tar -xJf "$tarball" -C "$tree" --strip-components=1
	# shellcheck disable=SC2034 # the caller's array
	unpacked=([tree]=$tree [version]=$version)
}

# build_debug_kernel KERNEL SERIES FRAGMENT CLANG: builds Debian's
# linux-source-SERIES from tinyconfig plus FRAGMENT with CLANG (clang-N) and
# the rest of LLVM N, in a build root of the machine's release (the
# package's), and fills the array KERNEL (see above).
build_debug_kernel() {
	local -n debug_kernel=$1
	local series=$2 fragment=$3 compiler=$4 suite root kdir key
	local -A source
	unpack_source source "$series"
	suite=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release)
	[ -n "$suite" ] || die "cannot tell which Debian release this machine runs"
	build_root root "$suite" "$compiler"
	kdir=$cache/debug/$series-${source[version]}
	key=$({ cat "$fragment"; echo "$compiler"; declare -f build_debug_kernel fill_debug_kernel; } |
		sha256sum | cut -c1-12)
	cached "$kdir" "$key" 0 fill_debug_kernel "$root" "${source[tree]}" "$kdir" "$fragment" "$compiler"
	# shellcheck disable=SC2034 # the caller's array
	debug_kernel=([abi]="$(cat "$kdir/include/config/kernel.release")" [version]=${source[version]}
		[vmlinuz]=$kdir/arch/x86/boot/bzImage [kdir]=$kdir [compiler]=$compiler [root]=$root
		[dirs]="${source[tree]}"$'\n'"$kdir" [llvm]="-${compiler#clang-}")
}
# fill_debug_kernel ROOT SOURCE_TREE KDIR FRAGMENT CLANG: the kernel built in
# KDIR, out of SOURCE_TREE, in the build root ROOT.
fill_debug_kernel() {
	local root=$1 tree=$2 kdir=$3 fragment=$4 compiler=$5 missing step
	# Kbuild picks clang, ld.lld, llvm-ar and the rest, host tools included.
	local make=(in_root "$root" "$tree" "$kdir" -- make -C "$tree" O="$kdir" ARCH=x86_64 LLVM="-${compiler#clang-}")
	echo "Building the debug kernel from $tree with $compiler in $kdir" >&2
	cp "$fragment" "$kdir/debug.config"
	for step in tinyconfig merge olddefconfig; do
		if [ $step = merge ]; then
			in_root "$root" "$tree" "$kdir" -- "$tree/scripts/kconfig/merge_config.sh" \
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
