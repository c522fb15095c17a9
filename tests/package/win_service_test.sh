#!/usr/bin/env bash
# The Windows service under Wine's service manager, in a Wine prefix made
# for the run: `service install` with an export whose folder has a space in
# its name, given relative to the current folder; an update in place that
# keeps the secret (kept in a file, not on the command line); the prefix
# restarted as a machine reboots, and the service starts by itself; the Linux libnfs client lists and reads the export
# (SHA-256 equal); `net stop` ends the server and closes its port; `net
# start` serves again with the same command line (secret kept); `service
# remove` takes it away with its log and secret. The service also reads a
# configuration file: `sc control NAME paramchange` makes the running
# service read it again, and an export added there is served without a
# restart. The log holds the event lines (start, listening, reload). A
# start that cannot bind is never reported as running.
#
# usage: win_service_test.sh PROGRAM.exe
set -euo pipefail
exe_src="$1"
. "$(dirname "$0")/wine_common.sh"
wine_prefix_start

mkdir -p "$work/bin"
cp "$exe_src" "$work/bin/$name.exe"
exe="$work/bin/$name.exe"
share="$work/my share"
make_share "$share"
share_win="$(winepath -w "$share")"
log="$WINEPREFIX/drive_c/ProgramData/$name/service.log"
nfs_port=$((20000 + RANDOM % 20000))
mount_port=$((nfs_port + 1))

more="$work/more"
make_share "$more"
conf="$work/exports.conf"
printf '# the test service: its first export is on its command line\r\n' >"$conf"
conf_win="$(winepath -w "$conf")"
# The export is given relative to the current folder: it is resolved at
# install, not in the service's own working folder.
(cd "$work" && wine "$exe" service install --bind 127.0.0.1 --nfs-port "$nfs_port" --mount-port "$mount_port" \
  --config "$conf_win" --export "/share=my share" </dev/null >"$work/install.out" 2>&1) && good ||
  bad "install: $(cat "$work/install.out")"
# The service's configuration as the service manager keeps it (Wine's sc has
# no qc): the folder resolved to its full path, and no secret on the command
# line, only the file that holds it.
key="HKLM\\System\\CurrentControlSet\\Services\\$name"
secret_file="$WINEPREFIX/drive_c/ProgramData/$name/secret"
wine reg query "$key" /v ImagePath </dev/null >"$work/qc1" 2>&1 || true
tr -d '\r' <"$work/qc1" | grep -qF -- "/share=$share_win" && good || bad "export not resolved: $(tr -d '\r' <"$work/qc1")"
grep -q -- '--secret-file C:\\ProgramData\\'"$name"'\\secret' "$work/qc1" && good ||
  bad "no secret file on the service's command line: $(tr -d '\r' <"$work/qc1")"
grep -q -- '--secret ' "$work/qc1" && bad "the secret is on the command line" || good
grep -qx '[0-9a-f]\{64\}' "$secret_file" && good || bad "no secret of 64 hex digits in $secret_file"
cp "$secret_file" "$work/secret1"
# A folder that does not exist is refused, and nothing changes.
if wine "$exe" service install --bind 127.0.0.1 --export "/x=$share_win\\missing" </dev/null >"$work/bad.out" 2>&1; then
  bad "an export of a missing folder was accepted"
else
  tr -d '\r' <"$work/bad.out" | grep -q 'does not exist' && good || bad "missing folder: $(cat "$work/bad.out")"
fi
# A second install updates the installed service in place and keeps its secret.
wine "$exe" service install --bind 127.0.0.1 --nfs-port "$nfs_port" --mount-port "$mount_port" \
  --config "$conf_win" --export "/share=$share_win" </dev/null >"$work/again.out" 2>&1 && good ||
  bad "update: $(cat "$work/again.out")"
cmp -s "$secret_file" "$work/secret1" && good || bad "the secret changed on an update"
wine reg query "$key" /v ImagePath </dev/null >"$work/qc1" 2>&1 || true

# Waits for the server's n-th start in the log.
started() { wait_for_lines "listening 127.0.0.1 nfs=$nfs_port" "$1" 300 "$log"; }
stop_service() {
  local t0 t1
  t0=$(date +%s%N)
  timeout 60 wine net stop "$name" </dev/null >"$work/stop.out" 2>&1 || true
  t1=$(date +%s%N)
  echo "net stop took $(( (t1 - t0) / 1000000 )) ms"
  # The port is closed once the service has stopped.
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$nfs_port") 2>/dev/null || return 0
    sleep 0.1
  done
  return 1
}
serve_check() {
  check_share "$share" /share "$nfs_port" "$mount_port"
  pass=$((pass + ok)); fail=$((fail + failed))
}

wine_reboot
if started 1; then
  good
  serve_check
  # The event log's lines are in the service's log.
  for event in " info event=start " " info event=listening service=nfs transport=tcp address=127.0.0.1 port=$nfs_port"; do
    tr -d '\r' <"$log" | grep -q -- "$event" && good || bad "no line with '$event' in the service log"
  done
  # PARAMCHANGE: the file is read again and the new export is served.
  printf 'export /more=%s\r\n' "$(winepath -w "$more")" >>"$conf"
  # Wine's sc has no "control"; the program's own `service reload` sends the
  # same PARAMCHANGE control.
  timeout 60 wine "$exe" service reload </dev/null >"$work/paramchange.out" 2>&1 || true
  if wait_for_lines ".* info event=reload .*added=1 removed=0 changed=0 failed=0" 1 300 "$log"; then
    good
    check_share "$more" /more "$nfs_port" "$mount_port"
    pass=$((pass + ok)); fail=$((fail + failed))
  else
    bad "no reload after paramchange: $(tr -d '\r' <"$work/paramchange.out") $(tr -d '\r' <"$log" | tail -3)"
  fi
  stop_service && good || bad "the port stayed open after net stop"
  timeout 60 wine net start "$name" </dev/null >"$work/start.out" 2>&1 || true
  if started 2; then
    good
    serve_check
    wine reg query "$key" /v ImagePath </dev/null >"$work/qc2" 2>&1 || true
    cmp -s "$work/qc1" "$work/qc2" && good || bad "the service's configuration changed across a restart"
    stop_service && good || bad "the port stayed open after the second net stop"
  else
    bad "net start did not start the service: $(tr -d '\r' <"$work/start.out") $(tr -d '\r' <"$log" 2>/dev/null | tail -3 || true)"
  fi
else
  bad "the service did not start at boot: $(tr -d '\r' <"$log" 2>/dev/null | tail -3 || true)"
fi
# A start that cannot bind (an address this machine lacks) is never
# reported as running: the service stops with its own exit code, and
# `service started`, which the installer runs, fails saying so.
wine "$exe" service install --bind 192.0.2.1 --nfs-port "$nfs_port" --mount-port "$mount_port" \
  --export "/share=$share_win" </dev/null >"$work/badbind.out" 2>&1 && good || bad "update: $(cat "$work/badbind.out")"
timeout 60 wine net start "$name" </dev/null >"$work/start3.out" 2>&1 || true
if timeout 120 wine "$exe" service started </dev/null >"$work/started.out" 2>&1; then
  bad "a service that could not bind was reported running"
else
  tr -d '\r' <"$work/started.out" | grep -q 'stopped instead of running (exit code 1)' && good ||
    bad "service started: $(tr -d '\r' <"$work/started.out")"
fi
tr -d '\r' <"$log" | grep -q '^start: ' && good || bad "the reason is not in the log: $(tr -d '\r' <"$log" | tail -3)"
echo "service log:"; { tr -d '\r' <"$log" 2>/dev/null || true; } | head -5 | sed 's/^/  /'

wine "$exe" service remove </dev/null >"$work/remove.out" 2>&1 && good || bad "remove: $(cat "$work/remove.out")"
if wine sc query "$name" </dev/null >"$work/query.out" 2>&1 && tr -d '\r' <"$work/query.out" | grep -q STATE; then
  bad "the service is still registered after remove"
else
  good
fi
[ ! -e "$(dirname "$log")" ] && good || bad "the log or its folder is left after remove"
echo "windows service under wine: $pass passed, $fail failed"
[ "$fail" = 0 ]
