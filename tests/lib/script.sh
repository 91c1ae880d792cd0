# SPDX-License-Identifier: GPL-2.0-only
# shellcheck shell=bash source-path=SCRIPTDIR
# What every host-side script of the kernel and release tests starts with
# (sourced; the script uses `set -euo pipefail` and may set `me`, its name in
# messages): the tally, die, and a word on any command that fails unexpected.

# shellcheck source=tally.sh
. "$(dirname "${BASH_SOURCE[0]}")/tally.sh"

die() {
	echo "${me:-${0##*/}}: $*" >&2
	exit 1
}
# A command substitution stops at its first failing command too, so that a
# function whose output is taken fails as it would run on its own.
shopt -s inherit_errexit
# Under set -e a command that fails where nothing expects it ends the script;
# say which, rather than end without a word.
set -E
trap 'echo "${me:-${0##*/}}: \"$BASH_COMMAND\" failed (${BASH_SOURCE[0]:-$0} line $LINENO)" >&2' ERR
