#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-only
# What a user might write instead of drummet, in a few lines of shell.
mkfifo fifo1 2>/dev/null
exec 3>fifo1
mkfifo fifo2 2>/dev/null
exec 4<fifo2
printf '\nReady to broadcast to client\nEnter message : \n'
IFS= read -r -d '`' message
printf '%s' "$message" >&3
printf '\nStats recieved from client: \n'
dd bs=1000 count=1 status=none <&4
