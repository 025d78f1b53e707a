#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# One configuration record through a real mail server: a private Exim daemon on a free loopback
# port, spool and mailbox in a temporary folder, HELO/EHLO required before MAIL as Exim wants by
# default, every recipient delivered to one mailbox file. The record goes once through
# `kestravo-record send` and once through the window's "SEND CONFIG TO SAT"; each delivered message
# is then taken apart with Python's email package and compared with the record it should carry.
#
# Usage: exim_relay.sh RECORD_TOOL WINDOW_TEST CHECKER
# Exit status: 0 passed, 1 failed, 77 skipped (no Exim installed).
set -euo pipefail

record_tool=$1
window_test=$2
checker=$3
python=/usr/bin/python3
imei=300234010123450
wait_seconds=30 # an upper bound for loopback work, never a speed requirement

. "$(dirname "$0")/exim_daemon.sh"
exim_prepare kestravo-e2e

write_config() {
  cat > "$mta/exim.conf" <<CONF
primary_hostname = e2e.kestravo.test
qualify_domain = e2e.kestravo.test
exim_user = $user
exim_group = $group
spool_directory = $mta/spool
log_file_path = $mta/log/%slog
pid_file_path = $mta/exim.pid
local_interfaces = <; 127.0.0.1
daemon_smtp_ports = $1
disable_ipv6 = true
host_lookup =
rfc1413_hosts =
tls_advertise_hosts =
keep_environment =
acl_smtp_rcpt = accept_every_recipient

begin acl

accept_every_recipient:
  accept

begin routers

everything:
  driver = accept
  transport = one_mailbox

begin transports

one_mailbox:
  driver = appendfile
  file = $mailbox
  user = $user
  group = $group
  mode = 0644
  envelope_to_add
  return_path_add
CONF
}

if [ ${#run_as[@]} -gt 0 ]; then chown -R "$user:$group" "$mta"; fi

exim_start 1
echo "Exim ($exim) listening on 127.0.0.1:$port as $user, spool in $mta"

# Nothing of the user's is read or written: the window's private folder, history and settings
# all land in the temporary folder.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
mkdir -p "$HOME"
unset KESTRAVO_RELAY KESTRAVO_SENDER KESTRAVO_GATEWAY KESTRAVO_TIMEOUT

# 1. The command-line tool.
record=$work/rec.sbd
"$record_tool" encode -o "$record" SendInterval=1440 CheckoutInterval=720 StabilityPoints=17 \
  TempLowLevel=-20 GeofenceRadius=300
if ! run timeout $((wait_seconds * 2)) "$record_tool" send --relay "127.0.0.1:$port" --imei "$imei" "$record"; then
  echo "FAIL: kestravo-record send did not get its message accepted"
  show_exim_log
  exit 1
fi
if ! run "$python" "$checker" --mailbox "$mailbox" --index 0 --imei "$imei" --record "$record" \
     --wait "$wait_seconds"; then
  show_exim_log
  exit 1
fi

# 2. The window, pointed at the relay through the environment only. It runs from a copy in a
# private folder, since the window writes temp.sbd beside its program.
mkdir -p "$work/window"
cp "$window_test" "$work/window/"
window_record=$work/window-record.sbd
status=0
KESTRAVO_RELAY=127.0.0.1:$port KESTRAVO_E2E_RECORD_OUT=$window_record QT_QPA_PLATFORM=offscreen \
  run timeout $((wait_seconds * 4)) "$work/window/$(basename "$window_test")" || status=$?
if [ $status -ne 0 ]; then
  echo "FAIL: the window's send (exit status $status)"
  show_exim_log
  exit 1
fi
if [ ! -e "$window_record" ]; then
  # The window half skipped itself and said why; the tool's half has passed.
  echo "The window's half was skipped; the command-line half passed."
  exit 0
fi
if ! run "$python" "$checker" --mailbox "$mailbox" --index 1 --imei "$imei" --record "$window_record" \
     --wait "$wait_seconds"; then
  show_exim_log
  exit 1
fi
echo "PASS: both messages delivered by Exim carry their records"
