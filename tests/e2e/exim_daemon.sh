# SPDX-License-Identifier: Apache-2.0
# What the tests that run a private Exim daemon on loopback share; sourced, never run.
#
#   exim_prepare PREFIX   finds Exim (exit 77 without it), picks the daemon's user, makes the work
#                         folder $work and the daemon's folder $mta; sets exim, user, group, run_as,
#                         work, mta and mailbox, and the traps that clean up
#   exim_start N          writes the configuration by the caller's write_config PORT... (N free
#                         ports) and starts the daemon; sets port (the first) and ports
#   run COMMAND...        runs a long step so that a signal is acted on at once
#   show_exim_log, stop_daemon, free_port
#
# The caller sets python and wait_seconds first.

work=
daemon=
child=

free_port() {
  "$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

stop_daemon() {
  if [ -n "$daemon" ]; then
    # The daemon leads its own process group: receiving and delivering children go with it.
    kill -TERM -- "-$daemon" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$daemon" 2>/dev/null || break; sleep 0.1; done
    kill -KILL -- "-$daemon" 2>/dev/null || true
    wait "$daemon" 2>/dev/null || true
    daemon=
  fi
}

# Long steps run in the background and are waited for, so that a signal is acted on at once
# (bash runs a trap only after the foreground command ends).
run() {
  "$@" &
  child=$!
  local status=0
  wait "$child" || status=$?
  child=
  return $status
}

exim_cleanup() {
  if [ -n "$child" ]; then kill -TERM "$child" 2>/dev/null || true; wait "$child" 2>/dev/null || true; fi
  stop_daemon
  if [ -n "$work" ]; then rm -rf "$work"; fi
}

exim_prepare() {
  exim=
  local candidate
  for candidate in "$(command -v exim4 || true)" "$(command -v exim || true)" /usr/sbin/exim4 /usr/sbin/exim; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then exim=$candidate; break; fi
  done
  if [ -z "$exim" ]; then
    echo "SKIP: no Exim found (exim4 or exim on PATH or in /usr/sbin); install exim4-daemon-light to run this test"
    exit 77
  fi
  trap exim_cleanup EXIT
  trap 'exit 1' INT TERM HUP

  # Root runs the daemon as nobody: Exim never delivers as root, and the test needs no privilege.
  run_as=()
  if [ "$(id -u)" -eq 0 ]; then
    user=nobody
    group=$(id -gn nobody)
    run_as=(setpriv --reuid="$user" --regid="$group" --clear-groups --)
  else
    user=$(id -un)
    group=$(id -gn)
  fi

  # The daemon's user must reach the spool and the mailbox: the first temporary folder it can
  # search its way into, whatever TMPDIR is (a TMPDIR inside a private folder is not reachable).
  local base=
  for candidate in "${TMPDIR:-/tmp}" /tmp /var/tmp /dev/shm; do
    if [ -d "$candidate" ] && [ -w "$candidate" ] && "${run_as[@]}" test -x "$candidate"; then
      base=$candidate
      break
    fi
  done
  if [ -z "$base" ]; then
    echo "SKIP: no temporary folder (TMPDIR, /tmp, /var/tmp, /dev/shm) that $user can reach"
    exit 77
  fi
  work=$(mktemp -d "$base/$1.XXXXXX")
  mta=$work/exim
  mkdir -p "$mta/spool" "$mta/log"
  chmod 711 "$work"
  mailbox=$mta/mailbox
}

exim_start() {
  local count=$1 attempt i
  port=
  # A port found free can be taken before Exim binds it; a few tries settle that.
  for attempt in 1 2 3; do
    ports=()
    for i in $(seq "$count"); do ports+=("$(free_port)"); done
    write_config "${ports[@]}"
    : > "$mta/daemon.err"
    setsid "${run_as[@]}" "$exim" -C "$mta/exim.conf" -bdf < /dev/null > "$mta/daemon.out" 2> "$mta/daemon.err" &
    daemon=$!
    for _ in $(seq $((wait_seconds * 10))); do
      if grep -q "listening for SMTP" "$mta/daemon.err" "$mta/log/mainlog" 2>/dev/null; then
        port=${ports[0]}
        break
      fi
      kill -0 "$daemon" 2>/dev/null || break
      sleep 0.1
    done
    [ -n "$port" ] && break
    echo "Exim did not start on ports ${ports[*]} (attempt $attempt):"
    cat "$mta/daemon.err" "$mta/log/"* 2>/dev/null || true
    stop_daemon
  done
  if [ -z "$port" ]; then
    echo "FAIL: Exim could not be started"
    exit 1
  fi
}

show_exim_log() {
  echo "---- Exim's log"
  cat "$mta/daemon.err" "$mta/log/"* 2>/dev/null || true
}
