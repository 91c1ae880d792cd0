# SPDX-License-Identifier: GPL-2.0-only
# shellcheck shell=bash source-path=SCRIPTDIR
# The machines the tests boot, one at a time per script: emulated (KVM is not
# usable where this runs), with one host thread for both virtual CPUs. With a
# thread for each, TCG lets a CPU go on running code that the other has just
# patched, and Debian's kernels die of their own boot-time code patching now
# and then ("Oops: int3"). A reset ends qemu, as a power-off does. The machine
# running is this file's own state (vm_console, vm_pid, ...): its functions
# start it, type into its console, wait on what it shows and stop it.

# shellcheck source=script.sh
. "$(dirname "${BASH_SOURCE[0]}")/script.sh"

# shellcheck disable=SC2054 # commas within qemu's options
vm_options=(-accel tcg,thread=single -cpu max -smp 2 -display none -vga none -monitor none -nic none -no-reboot)

# vm_start CONSOLE QEMU_OPTION...: starts a machine whose first serial port is
# its console: what it shows goes to the file CONSOLE, and vm_type types into
# it. A script that ends or is stopped stops its machine first, then runs
# what it had set for its end itself.
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
	vm_on_exit
}

# vm_on_exit: vm_off before whatever the script's EXIT trap does; TERM, INT
# and HUP, after what the script does for them, end it through that trap.
# Once for all the machines a script starts.
vm_on_exit() {
	local signal words current
	[ -z "${vm_trapped:-}" ] || return 0
	vm_trapped=1
	for signal in EXIT TERM INT HUP; do
		# trap -p says `trap -- 'COMMAND' SIGNAL`, quoted for the shell.
		eval "words=($(trap -p "$signal"))"
		current=${words[2]:-}
		if [ "$signal" = EXIT ]; then
			trap -- "vm_off${current:+; $current}" EXIT
		else
			trap -- "${current:+$current; }exit 143" "$signal"
		fi
	done
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

# vm_off: the machine off, its console read to the end. Once it is off, does
# nothing.
vm_off() {
	[ -n "${vm_pid:-}" ] || return 0
	kill "$vm_pid" 2>/dev/null || true
	wait "$vm_pid" 2>/dev/null || true
	# The reader ends with qemu's end of the pipe; if qemu never opened it,
	# it waits still.
	timeout 10 tail --pid="$vm_reader" -f /dev/null || kill "$vm_reader" 2>/dev/null || true
	wait "$vm_reader" 2>/dev/null || true
	exec {vm_keys}>&-
	rm -f "$vm_console.in" "$vm_console.out"
	vm_pid=""
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
