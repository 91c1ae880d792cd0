# SPDX-License-Identifier: GPL-2.0-only
# shellcheck shell=bash source-path=SCRIPTDIR
# The Debian archives the tests fetch from, and a private apt setup per suite
# in the cache, so that the machine's own sources are left alone.

# shellcheck source=cache.sh
. "$(dirname "${BASH_SOURCE[0]}")/cache.sh"

# mirror debian|security: TARROW_DEBIAN_MIRROR (TARROW_DEBIAN_SECURITY_MIRROR),
# else the first Debian archive (security archive) in this machine's own apt
# sources, as apt resolved it, so that a local mirror or proxy the machine
# uses serves the tests too. Looked up only where something is fetched: the
# checks that fetch nothing run where apt knows no Debian archive.
mirror() {
	local want=$1 found
	case $want in
	debian) found=${TARROW_DEBIAN_MIRROR:-} ;;
	security) found=${TARROW_DEBIAN_SECURITY_MIRROR:-} ;;
	esac
	# shellcheck disable=SC2016 # apt's own fields, not the shell's
	[ -n "$found" ] || found=$(apt-get indextargets --format '$(ORIGIN)|$(SUITE)|$(RELEASE)|$(REPO_URI)' 2>/dev/null |
		awk -F'|' -v want="$want" '$1 == "Debian" {
			security = ($2 $3) ~ /-security/
			if (security == (want == "security")) { sub("/+$", "", $4); print $4; exit }
		}')
	if [ -z "$found" ]; then
		[ "$want" = debian ] && die "no Debian archive in this machine's apt sources (after apt-get update):" \
			"set TARROW_DEBIAN_MIRROR to one"
		die "no Debian security archive in this machine's apt sources (after apt-get update):" \
			"set TARROW_DEBIAN_SECURITY_MIRROR to one"
	fi
	echo "$found"
}

# suite_sources SUITE: the apt lines of a suite, its security updates included
# where it has them.
suite_sources() {
	local debian security
	debian=$(mirror debian)
	echo "deb $debian $1 main"
	case $1 in
	sid | unstable | experimental | *-backports) ;;
	*)
		security=$(mirror security)
		echo "deb $security $1-security main"
		;;
	esac
}

# suite_apt SUITE TOOL ARGUMENT...: apt-get or apt-cache against the private
# setup of a suite.
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
	local suite=$1 dir=$2 sources log
	mkdir -p "$dir/lists/partial" "$dir/cache" "$dir/state" "$dir/parts"
	: >"$dir/state/status"
	sources=$(suite_sources "$suite")
	echo "$sources" >"$dir/sources.list"
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
