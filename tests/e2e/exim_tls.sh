#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A record through a real mail server that wants TLS and a password, as a provider's submission
# server does: a private Exim daemon on two free loopback ports, STARTTLS on the first and TLS
# from the first byte on the second, AUTH PLAIN and LOGIN advertised over TLS only, and mail
# relayed only for a signed-in user. The CA and the server's certificate are made here with
# openssl; the password is a fresh random one, handed to the tool by password_command.
#
# Usage: exim_tls.sh RECORD_TOOL
# Exit status: 0 passed, 1 failed, 77 skipped (no Exim or openssl installed).
set -euo pipefail

record_tool=$1
python=/usr/bin/python3
imei=300234010123450
wait_seconds=30 # an upper bound for loopback work, never a speed requirement

if ! command -v openssl > /dev/null; then
  echo "SKIP: needs openssl"
  exit 77
fi
. "$(dirname "$0")/exim_daemon.sh"
exim_prepare kestravo-exim-tls

login=operator@e2e.kestravo.test
password=$("$python" -c 'import secrets; print(secrets.token_hex(16))')
printf '%s\n' "$password" > "$work/pw"
chmod 600 "$work/pw"

# The CA and the server's certificate, for localhost.
(
  cd "$mta"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Kestravo e2e CA" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=localhost 2>/dev/null
  printf 'subjectAltName=DNS:localhost\n' > server.ext
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 \
    -extfile server.ext 2>/dev/null
  chmod 644 server.key # a throwaway key the daemon's user must read
)

free_port() {
  "$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

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
daemon_smtp_ports = $1 : $2
tls_on_connect_ports = $2
disable_ipv6 = true
host_lookup =
rfc1413_hosts =
tls_advertise_hosts = *
tls_certificate = $mta/server.pem
tls_privatekey = $mta/server.key
auth_advertise_hosts = *
keep_environment =
acl_smtp_rcpt = signed_in_only

begin acl

signed_in_only:
  accept authenticated = *
  deny message = sign in first

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

begin authenticators

plain_server:
  driver = plaintext
  public_name = PLAIN
  server_prompts = :
  server_condition = \${if and {{eq{\$auth2}{$login}}{eq{\$auth3}{$password}}}}
  server_set_id = \$auth2
  server_advertise_condition = \${if def:tls_in_cipher}

login_server:
  driver = plaintext
  public_name = LOGIN
  server_prompts = "Username:: : Password::"
  server_condition = \${if and {{eq{\$auth1}{$login}}{eq{\$auth2}{$password}}}}
  server_set_id = \$auth1
  server_advertise_condition = \${if def:tls_in_cipher}
CONF
}

if [ ${#run_as[@]} -gt 0 ]; then chown -R "$user:$group" "$mta"; fi

exim_start 2
p1=${ports[0]}
p2=${ports[1]}

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
export DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent
mkdir -p "$XDG_CONFIG_HOME/kestravo"
for v in RELAY SENDER GATEWAY TIMEOUT SECURITY USER AUTH CAFILE PASSWORD_COMMAND; do unset "KESTRAVO_$v"; done
cat > "$XDG_CONFIG_HOME/kestravo/kestravo.conf" <<CONF
[mail]
user=$login
cafile=$mta/ca.pem
password_command=/bin/cat $work/pw
history=off
CONF

record=$work/rec.sbd
"$record_tool" encode -o "$record" SendInterval=1440

fail() { echo "FAIL: $*"; show_exim_log; exit 1; }

# STARTTLS with each mechanism, then TLS from the first byte.
sent=0
for how in "starttls:$p1:login" "starttls:$p1:plain" "starttls:$p1:auto" "tls:$p2:auto"; do
  IFS=: read -r security p auth <<< "$how"
  out=$(timeout $((wait_seconds * 2)) "$record_tool" send --relay "localhost:$p" --security "$security" \
        --auth "$auth" --imei "$imei" "$record" 2>&1) || fail "$how: $out"
  [ "$out" = $'Mail sended\nError code 0' ] || fail "$how: $out"
  sent=$((sent + 1))
  echo "sent through Exim with $how"
done

# A wrong password is refused by the server (535), and nothing is delivered for it.
printf 'wrong-%s\n' "$password" > "$work/pw"
status=0
out=$(timeout $((wait_seconds * 2)) "$record_tool" send --relay "localhost:$p1" --security starttls \
      --imei "$imei" "$record" 2>&1) || status=$?
[ $status -eq 1 ] || fail "a wrong password gave exit status $status: $out"
case $out in *"error code 535"*) ;; *) fail "a wrong password: $out" ;; esac
case $out in *"$password"*) fail "the password is in the output" ;; esac

for _ in $(seq $((wait_seconds * 10))); do
  delivered=$(grep -c "^Subject: $imei" "$mailbox" 2>/dev/null || true)
  [ "${delivered:-0}" -ge $sent ] && break
  sleep 0.1
done
[ "${delivered:-0}" -eq $sent ] || fail "$delivered of $sent messages delivered"
if grep -q "$password" "$mta/log/"* 2>/dev/null; then fail "the password is in Exim's log"; fi
echo "PASS: $sent messages through Exim over TLS with sign-in"
