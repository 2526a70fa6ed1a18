#!/bin/bash
# Runs inside the booted Debian root (as the oneshot unit
# chunk-admin-check.service, after chunkstore.service): what an administrator
# checks after "dpkg -i chunkstore_*.deb". The first boot stores a file,
# restarts and stops the service (also while a client holds it) and reboots;
# the second finds the store intact, removes and purges the package,
# installs it once more with apt-get on the running system (which starts the
# service), purges it again, and powers off. Every step is logged to /root/check.log; the result of each
# boot goes to /root/check.result (passed or FAILED).
set -uo pipefail
log=/root/check.log
store='/var/lib/chunkstore/$dump'
exec >>"$log" 2>&1

ok() { echo "ok: $*"; }
fail() {
  echo "FAILED: $*"
  echo "--- journal of chunkstore.service"
  journalctl -u chunkstore.service --no-pager -o cat | tail -n 40
  echo FAILED > /root/check.result
  systemctl poweroff
  exit 1
}
# check WHAT COMMAND...: the command must succeed.
check() {
  local what=$1
  shift
  "$@" || fail "$what (status $?: $*)"
  ok "$what"
}
prop() { systemctl show -p "$1" --value chunkstore.service; }
# The service's state as "ActiveState/SubState/Result".
state() { echo "$(prop ActiveState)/$(prop SubState)/$(prop Result)"; }
expect_state() {
  local want=$1 got
  got=$(state)
  [ "$got" = "$want" ] || fail "service state is $got, not $want"
  ok "service state $want"
}
restores() {
  chunkcat "$store" /root/f1.list -o /root/f1.back && cmp /root/f1 /root/f1.back
}
# Sends f1 once more: all of it must be found in the store (its index was
# rebuilt from the store the service kept).
known_again() {
  local out
  out=$(chunksend --store "$store" -o /root/f1.again.list /root/f1 2>&1) || return 1
  echo "$out"
  [[ $out == *"store grew by 0 bytes, 100.00% of the data was stored already"* ]] &&
    cmp /root/f1.list /root/f1.again.list
}
listening_line() {
  journalctl -u chunkstore.service --no-pager -o cat _PID="$(prop MainPID)" |
    grep -qx 'chunkstore: listening on 127.0.0.1:8888'
}

if [ ! -e /root/phase1.done ]; then
  echo "=== first boot"
  check "the service is enabled" test "$(systemctl is-enabled chunkstore.service)" = enabled
  expect_state active/running/success
  check "it said where it listens, once ready" listening_line
  check "its store folder belongs to its user" \
    test "$(stat -c %U:%a /var/lib/chunkstore)" = chunkstore:750
  head -c $((24 << 20)) /dev/urandom > /root/f1
  check "a file is stored" chunksend --store "$store" -o /root/f1.list /root/f1
  check "the file restores byte for byte" restores
  size=$(stat -c %s "$store")
  pid=$(prop MainPID)

  check "systemctl restart" systemctl restart chunkstore.service
  expect_state active/running/success
  check "the restarted server is a new process" test "$(prop MainPID)" != "$pid"
  check "the restart kept the store" test "$(stat -c %s "$store")" = "$size"
  check "the file still restores" restores
  check "the restarted server knows every chunk of the store" known_again

  check "systemctl stop" systemctl stop chunkstore.service
  expect_state inactive/dead/success
  check "the server ended with status 0" test "$(prop ExecMainStatus)" = 0

  # A client holds the server: chunkstop --wait gives up, SIGTERM ends it.
  check "systemctl start" systemctl start chunkstore.service
  exec 3<>/dev/tcp/127.0.0.1/8888
  check "systemctl stop while a client is connected" systemctl stop chunkstore.service
  exec 3>&-
  expect_state inactive/dead/success
  check "the busy server ended by SIGTERM with status 0" test "$(prop ExecMainStatus)" = 0
  check "it said it stopped by SIGTERM" \
    sh -c "journalctl -u chunkstore.service --no-pager -o cat | grep -qx 'chunkstore: stopped by SIGTERM'"
  check "the file still restores" restores

  check "systemctl start" systemctl start chunkstore.service
  touch /root/phase1.done
  echo passed > /root/check.result
  echo "=== rebooting"
  systemctl reboot
  exit 0
fi

echo "=== second boot"
expect_state active/running/success
check "the store is intact after the reboot" restores
check "chunkcheck finds the store clean" chunkcheck -q "$store"
check "the server knows every chunk after the reboot" known_again

check "dpkg -r chunkstore" dpkg -r chunkstore
check "removing stopped the service" sh -c '! systemctl is-active --quiet chunkstore.service'
check "removing kept the store" test -s "$store"
check "removing kept the user" getent passwd chunkstore
check "dpkg --purge chunkstore" dpkg --purge chunkstore
check "purging deleted the store folder" test ! -e /var/lib/chunkstore
check "purging left no unit" test ! -e /usr/lib/systemd/system/chunkstore.service

# Installed again on the running system, as "apt install ./chunkstore_*.deb"
# does it: the package starts the service itself.
check "apt-get install of the package on the running system" \
  env DEBIAN_FRONTEND=noninteractive apt-get install -y -q /root/chunkstore.deb
expect_state active/running/success
check "it said where it listens, once ready" listening_line
check "a new, empty store" test ! -s "$store"
check "dpkg --purge chunkstore" dpkg --purge chunkstore
check "purging stopped the service" sh -c '! systemctl is-active --quiet chunkstore.service'
check "purging deleted the store folder" test ! -e /var/lib/chunkstore
echo passed > /root/check.result
echo "=== all checks passed"
systemctl poweroff
