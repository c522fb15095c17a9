#!/usr/bin/env bash
# Runs inside the container of deb_system_test.sh, as a service of its
# systemd, beside a running rpcbind: installs the packages of 1/, starts the
# service, upgrades to 2/, makes a start fail, purges. Writes what it saw
# to log and "passed" or the first failure to result, in its own folder;
# the container powers off when it ends.
set -u  # no pipefail: `... | grep -q` ends its writer early on purpose
dir=/root/vorlix-pkgtest
prog=tarvelin-quillmoor-nfs-v3-file-server
exec >"$dir/log" 2>&1
failures=()
bad() { echo "FAILED: $*"; failures+=("$*"); }
finish() {
  if [ ${#failures[@]} -eq 0 ]; then echo passed >"$dir/result"; else echo "${failures[0]}" >"$dir/result"; fi
  exit 0
}
trap finish EXIT
export DEBIAN_FRONTEND=noninteractive

# Waits up to 60 s for the unit's ActiveState to become $1.
wait_state() {
  for _ in $(seq 1 120); do
    [ "$(systemctl show -p ActiveState --value $prog)" = "$1" ] && return 0
    sleep 0.5
  done
  return 1
}
main_pid() { systemctl show -p MainPID --value $prog; }
packages_of() { ls "$dir/$1"/*.deb | grep -v -- '-dbgsym_'; }

echo "== rpcbind"
systemctl start rpcbind.service || bad "rpcbind does not start"
rpcinfo -p 127.0.0.1 | grep -q portmapper || bad "rpcbind does not answer"

mkdir -p /srv/nfs/sub
echo "hello from the package test" >/srv/nfs/hello.txt
chmod -R a+rX /srv/nfs

echo "== install"
dpkg -i $(packages_of 1) || bad "dpkg -i of the first build failed"
[ "$(systemctl is-enabled $prog 2>&1)" = disabled ] || bad "installing enabled the service: $(systemctl is-enabled $prog 2>&1)"
[ "$(systemctl is-active $prog 2>&1)" = inactive ] || bad "installing started the service"
[ -e /usr/share/man/man8/$prog.8.gz ] || bad "no manual page installed"

check_serving() {
  local when="$1"
  [ "$(systemctl is-active $prog)" = active ] || { bad "$when: the service is not active"; return; }
  systemctl show -p StatusText --value $prog | grep -q '^listening 127.0.0.1 nfs=2049' ||
    bad "$when: status is not the listening line: $(systemctl show -p StatusText --value $prog)"
  # The shipped settings (--portmap auto) registered the ports with the
  # running rpcbind: the tools find them through it.
  rpcinfo -p 127.0.0.1 >"$dir/rpcinfo.txt" 2>&1
  cat "$dir/rpcinfo.txt"
  grep -qE '100003 +3 +tcp +2049' "$dir/rpcinfo.txt" || bad "$when: rpcinfo -p does not list NFS 3 on 2049"
  grep -qE '100005 +3 +tcp +20048' "$dir/rpcinfo.txt" || bad "$when: rpcinfo -p does not list MOUNT 3 on 20048"
  timeout 30 nfs-ls nfs://127.0.0.1/share >"$dir/ls.txt" 2>&1
  grep -q hello.txt "$dir/ls.txt" || bad "$when: nfs-ls nfs://127.0.0.1/share: $(cat "$dir/ls.txt")"
}

echo "== enable --now"
systemctl enable --now $prog || bad "systemctl enable --now failed: $(journalctl -u $prog -n 20 --no-pager)"
check_serving "after enable --now"
pid1=$(main_pid)
state=/var/lib/private/$prog
secret=$(cat $state/secret 2>/dev/null)
[ ${#secret} = 64 ] || bad "no 64-digit secret in $state/secret"
[ "$(stat -c %a $state/secret)" = 600 ] || bad "the secret is readable by others: $(stat -c %a $state/secret)"
args=$(tr '\0' ' ' </proc/$pid1/cmdline)
echo "command line: $args"
case "$args" in *"--secret-file /var/lib/$prog/secret"*) ;; *) bad "the secret file is not given: $args" ;; esac
case "$args" in *"$secret"*) bad "the secret is on the command line" ;; esac

echo "== reload"
systemctl reload $prog || bad "systemctl reload failed"
sleep 1
[ "$(main_pid)" = "$pid1" ] && [ "$(systemctl is-active $prog)" = active ] || bad "reload did not keep the server running"

echo "== upgrade"
dpkg -i $(packages_of 2) || bad "dpkg -i of the second build failed"
echo "version: $(dpkg-query -W -f='${Version}' $prog)"
case "$(dpkg-query -W -f='${Version}' $prog)" in *+upgrade1) ;; *) bad "the upgrade did not install the second build" ;; esac
wait_state active || bad "the service is not running after the upgrade"
[ "$(main_pid)" != "$pid1" ] || bad "the upgrade did not restart the server (same process)"
[ "$(cat $state/secret)" = "$secret" ] || bad "the upgrade changed the secret"
[ "$(systemctl is-enabled $prog)" = enabled ] || bad "the upgrade disabled the service"
check_serving "after the upgrade"

echo "== a start that cannot succeed"
cp /etc/default/$prog "$dir/default.saved"
sed -i 's|^EXPORTS=.*|EXPORTS="--export /share=/srv/missing"|' /etc/default/$prog
systemctl restart $prog && bad "a start with a missing export folder succeeded"
wait_state failed || bad "the failing service did not end failed: $(systemctl show -p ActiveState,SubState,NRestarts $prog)"
echo "$(systemctl show -p ActiveState,Result,NRestarts $prog | tr '\n' ' ')"
journalctl -u $prog --no-pager | grep -q 'export /share: cannot resolve /srv/missing' ||
  bad "the reason is not in the journal: $(journalctl -u $prog -n 10 --no-pager)"
sleep 3
[ "$(systemctl show -p ActiveState --value $prog)" = failed ] || bad "the failed service was started again"
# The stopped server left nothing registered with rpcbind.
if rpcinfo -p 127.0.0.1 | grep -qE '^ *100003 '; then
  bad "NFS is still registered with rpcbind after the server stopped"
fi
cp "$dir/default.saved" /etc/default/$prog
systemctl reset-failed $prog

echo "== purge"
dpkg --purge $prog libvorlix-dev libvorlix1 || bad "dpkg --purge failed"
for f in /lib/systemd/system/$prog.service /etc/systemd/system/multi-user.target.wants/$prog.service \
         /etc/default/$prog /var/lib/private/$prog /var/lib/$prog /usr/bin/$prog; do
  [ -e "$f" ] || [ -L "$f" ] && bad "left after purge: $f"
done
ls /var/lib/systemd/deb-systemd-helper-enabled/ 2>/dev/null | grep -q $prog && bad "deb-systemd-helper still remembers the unit"
echo "done"
