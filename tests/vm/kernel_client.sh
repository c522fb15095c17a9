#!/usr/bin/env bash
# The Linux kernel's NFS client against the server: boots a small guest with
# QEMU from an initramfs made here out of busybox and the kernel's own NFS
# client modules, mounts an export over user-mode networking (the guest
# reaches the host's 127.0.0.1 as 10.0.2.2), lists, stats and hashes the tree,
# reads a large file, tries ten kinds of writes, and mounts a second time
# through the built-in portmapper. A second network card joins the guest to a
# tap device of the host's with an address of its own, as a machine on the
# LAN would be: there the guest mounts by the server's LAN address with no
# port options, finding every port through the portmapper. The whole test
# runs in a private network namespace, so the fixed ports it uses (111, 2049,
# 20048) and the LAN addresses clash with nothing.
#
# usage: kernel_client.sh SERVER_EXE
set -uo pipefail

exe="$1"

# What the test needs from the machine; without it the test is skipped
# (exit 77, which ctest reports as skipped).
skip() {
  echo "kernel_client: skipped: $*" >&2
  exit 77
}
kernel=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1)
kver=${kernel#/boot/vmlinuz-}
mods=/lib/modules/$kver
if [ -z "$kernel" ] || [ ! -f "$mods/modules.dep" ] || [ ! -x /bin/busybox ] || ! command -v qemu-system-x86_64 >/dev/null; then
  skip "kernel, modules, busybox-static or qemu-system-x86 missing"
fi
for tool in unshare ip; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done

if [ -z "${VORLIX_VM_NETNS:-}" ]; then
  unshare --net -- true 2>/dev/null || skip "no private network namespace here (needs root)"
  exec env VORLIX_VM_NETNS=1 unshare --net -- "$0" "$@"
fi
ip link set lo up

# The LAN: a tap device the guest's second card plugs into.
lan_host=192.168.77.1
lan_guest=192.168.77.2
lan_mac=52:54:00:77:00:02
if ! { ip tuntap add dev vlan0 mode tap && ip addr add "$lan_host/24" dev vlan0 && ip link set vlan0 up; } 2>/dev/null; then
  skip "no tap device here (/dev/net/tun)"
fi

fail() {
  echo "FAIL: $*" >&2
  status=1
}
status=0

tmp=$(mktemp -d)
server_pid=""
qemu_pid=""
cleanup() {
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

# ---- The fixture ---------------------------------------------------------
fx=$tmp/movies
mkdir -p "$fx/sub/deeper" "$fx/big" "$fx/empty dir"
printf 'hello\n' > "$fx/a.txt"
printf 'spaces\n' > "$fx/name with spaces.txt"
printf 'utf8\n' > "$fx/caf$(printf '\xc3\xa9').txt"
: > "$fx/empty.bin"
head -c 100003 /dev/urandom > "$fx/sub/b.bin"
printf 'deep\n' > "$fx/sub/deeper/c.txt"
mkdir -p "$fx/d1/d2/d3"
printf 'three\n' > "$fx/d1/d2/d3/three.txt"
for i in $(seq -w 1 5000); do printf '%s\n' "$i" > "$fx/big/f$i"; done
head -c $((300 * 1024 * 1024)) /dev/urandom > "$fx/large.bin"
chmod 0444 "$fx/a.txt"

# What the guest must see: type and size of every entry, and the hashes.
(cd "$fx" && find . -mindepth 1 | LC_ALL=C sort | while IFS= read -r p; do
  if [ -d "$p" ]; then echo "directory|${p#./}"; else echo "regular file|$(stat -c %s "$p")|${p#./}"; fi
done) | LC_ALL=C sort > "$tmp/want_stat"
(cd "$fx" && find . -type f ! -path './big/*' ! -name large.bin | LC_ALL=C sort | xargs -d '\n' sha256sum |
  sed 's| \./|/|' ; cd big && ls | LC_ALL=C sort | head -n 50 | xargs sha256sum | sed 's|  |/big/|') |
  LC_ALL=C sort > "$tmp/want_sha"
want_large=$(sha256sum "$fx/large.bin" | cut -d' ' -f1)

# ---- The guest -----------------------------------------------------------
root=$tmp/initrd
mkdir -p "$root"/{bin,dev,proc,sys,mnt,lib/mod}
cp /bin/busybox "$root/bin/busybox"

# Modules in dependency order, each once.
declare -A seen
order=()
add_mod() {
  local rel="$1" deps d
  [ -n "${seen[$rel]:-}" ] && return
  seen[$rel]=1
  deps=$(grep -m1 "^$rel:" "$mods/modules.dep" | cut -d: -f2)
  for d in $deps; do add_mod "$d"; done
  order+=("$rel")
}
for m in virtio_pci virtio_net nfsv3 nfs sunrpc lockd grace; do
  rel=$(grep -m1 -E "/$m\.ko(\.xz|\.zst)?:" "$mods/modules.dep" | cut -d: -f1)
  [ -n "$rel" ] && add_mod "$rel"
done
: > "$root/lib/mod/order"
for rel in "${order[@]}"; do
  name=$(basename "$rel")
  cp "$mods/$rel" "$root/lib/mod/$name"
  echo "$name" >> "$root/lib/mod/order"
done

mount_opts="vers=3,proto=tcp,nolock,mountproto=tcp,addr=10.0.2.2,mountaddr=10.0.2.2"
cat > "$root/init" <<GUEST
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in \$(cat /lib/mod/order); do insmod /lib/mod/\$m 2>/dev/null; done
ip link set lo up
ip link set eth0 up
ip addr add 10.0.2.15/24 dev eth0
ip route add default via 10.0.2.2
for d in /sys/class/net/*; do
  [ "\$(cat \$d/address)" = "$lan_mac" ] && lan=\${d##*/}
done
ip link set "\$lan" up
ip addr add $lan_guest/24 dev "\$lan"
section() { echo "==BEGIN \$1=="; }
done_() { echo "==END \$1=="; }

section mount1
mount -t nfs -o $mount_opts,port=2049,mountport=20048 10.0.2.2:/movies /mnt; echo "rc=\$?"
done_ mount1

section ls
ls -laR /mnt >/dev/null; echo "rc=\$?"
done_ ls

section count
find /mnt -mindepth 1 | wc -l
done_ count

section stat
cd /mnt && find . -mindepth 1 | while IFS= read -r p; do
  t=\$(stat -c %F "\$p"); [ "\$t" = "regular empty file" ] && t="regular file"
  if [ "\$t" = directory ]; then echo "directory|\${p#./}"; else echo "\$t|\$(stat -c %s "\$p")|\${p#./}"; fi
done; cd /
done_ stat

section sha
cd /mnt && find . -type f ! -path './big/*' ! -name large.bin | while IFS= read -r p; do sha256sum "\$p"; done | sed 's| \./|/|'
cd /mnt/big && ls | sort | head -n 50 | while IFS= read -r p; do sha256sum "\$p"; done | sed 's|  |/big/|'
cd /
done_ sha

section large
cat /mnt/large.bin | sha256sum
done_ large

section writes
w() { out=\$( (eval "\$2") 2>&1); echo "\$1|rc=\$?|\$out"; }
w create 'echo x > /mnt/new.txt'
w truncate 'echo x > /mnt/a.txt'
w append 'echo x >> /mnt/sub/deeper/c.txt'
w mkdir 'mkdir /mnt/newdir'
w rmdir 'rmdir "/mnt/empty dir"'
w unlink 'rm -f /mnt/sub/b.bin'
w rename 'mv /mnt/a.txt /mnt/renamed.txt'
w link 'ln /mnt/a.txt /mnt/hard.txt'
w symlink 'ln -s a.txt /mnt/soft.txt'
w chmod 'chmod 0777 /mnt/a.txt'
done_ writes

section umount
umount /mnt; echo "rc=\$?"
done_ umount

section mount2
mount -t nfs -o $mount_opts 10.0.2.2:/movies /mnt; echo "rc=\$?"
ls /mnt | sort | head -n 3
umount /mnt
done_ mount2
# Ports and MOUNT found over UDP, as mount helpers ask first: the
# portmapper's GETPORT and the MNT call both travel in datagrams.
section mountudp
mount -t nfs -o vers=3,proto=tcp,nolock,mountproto=udp,addr=10.0.2.2,mountaddr=10.0.2.2 10.0.2.2:/movies /mnt; echo "rc=\$?"
ls /mnt | sort | head -n 3
umount /mnt
done_ mountudp
# From the LAN, as a player or a desktop mounts: the server's address and
# nothing else; the kernel asks the portmapper for MOUNT's and NFS's ports.
section lan
mount -t nfs -o vers=3,nolock,addr=$lan_host $lan_host:/movies /mnt; echo "rc=\$?"
cat /mnt/d1/d2/d3/three.txt
grep " /mnt " /proc/mounts | grep -o "addr=$lan_host" | head -n 1
umount /mnt
done_ lan
section mountsub
mount -t nfs -o $mount_opts,port=2049,mountport=20048 10.0.2.2:/movies/sub /mnt; echo "rc=\$?"
ls /mnt | sort
umount /mnt
done_ mountsub

# The server restarts while the export stays mounted: the host restarts it
# as soon as it sees the marker, well within the guest's pause.
section restart
mount -t nfs -o $mount_opts,port=2049,mountport=20048 10.0.2.2:/movies /mnt; echo "rc=\$?"
cat /mnt/d1/d2/d3/three.txt >/dev/null
echo ==RESTART-NOW==
sleep 6
ls /mnt >/dev/null; echo "ls rc=\$?"
cat /mnt/d1/d2/d3/three.txt; echo "cat rc=\$?"
done_ restart

section restart-nosecret
echo ==RESTART-NOSECRET==
sleep 6
out=\$(ls /mnt 2>&1); echo "ls rc=\$? \$out"
umount -f /mnt 2>/dev/null || umount -l /mnt
done_ restart-nosecret
echo ==GUEST-DONE==
poweroff -f
GUEST
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$tmp/initrd.gz"

# ---- The server ----------------------------------------------------------
# Clients keep their mounts across a restart only when the server keeps its
# secret, so the server starts with one; the last restart leaves it out.
start_server() {  # extra serve arguments
  "$exe" serve --bind 0.0.0.0 --nfs-port 2049 --mount-port 20048 --portmap auto \
    --export "/movies=$fx" --allow "/movies=127.0.0.1,192.168.77.0/24" "$@" \
    < /dev/null > "$tmp/server.out" 2> "$tmp/server.err" &
  server_pid=$!
  for _ in $(seq 1 100); do grep -q '^listening' "$tmp/server.out" && return 0; sleep 0.1; done
  cat "$tmp/server.err" >&2
  echo "server did not start" >&2
  return 1
}
stop_server() {
  kill "$server_pid" 2>/dev/null
  wait "$server_pid" 2>/dev/null
  server_pid=""
}
start_server --secret "kept across restarts" || exit 1

# ---- Boot ----------------------------------------------------------------
boot() {  # accel, time limit in seconds
  rm -f "$tmp/serial.log"
  restarted=""
  qemu-system-x86_64 -accel "$1" -m 768 -smp 1 -kernel "$kernel" -initrd "$tmp/initrd.gz" \
    -append "console=ttyS0 quiet panic=-1 loglevel=3" -display none -no-reboot -monitor none \
    -netdev user,id=n0 -device virtio-net-pci,netdev=n0 \
    -netdev tap,id=n1,ifname=vlan0,script=no,downscript=no -device "virtio-net-pci,netdev=n1,mac=$lan_mac" \
    -serial "file:$tmp/serial.log" \
    > "$tmp/qemu.out" 2>&1 &
  qemu_pid=$!
  local t0=$SECONDS booted=0
  while kill -0 "$qemu_pid" 2>/dev/null && [ $((SECONDS - t0)) -lt "$2" ]; do
    sleep 0.5
    # A guest that has not reached its first section within 60 s does not boot here.
    if [ $booted -eq 0 ]; then
      if grep -q '==BEGIN mount1==' "$tmp/serial.log" 2>/dev/null; then booted=1
      elif [ $((SECONDS - t0)) -gt 60 ]; then break; fi
    fi
    restart_on RESTART-NOW --secret "kept across restarts"
    restart_on RESTART-NOSECRET
  done
  kill "$qemu_pid" 2>/dev/null
  wait "$qemu_pid" 2>/dev/null
  qemu_pid=""
  grep -q '==GUEST-DONE==' "$tmp/serial.log" 2>/dev/null
}
# Restarts the server once when the guest shows the marker.
restart_on() {  # marker, serve arguments
  local marker="$1"
  shift
  case " $restarted " in *" $marker "*) return ;; esac
  grep -q "^==$marker==" "$tmp/serial.log" 2>/dev/null || return 0
  restarted="$restarted $marker"
  stop_server
  start_server "$@"
}
accel=tcg
t_boot=$SECONDS
if [ -w /dev/kvm ] && boot kvm 300; then
  accel=kvm
elif ! boot tcg 900; then
  echo "guest did not finish; last lines of its console:" >&2
  tail -n 30 "$tmp/serial.log" >&2
  exit 1
fi
echo "guest ran with $accel in $((SECONDS - t_boot)) s"

section() { tr -d '\r' < "$tmp/serial.log" | sed -n "/^==BEGIN $1==\$/,/^==END $1==\$/p" | sed '1d;$d'; }

[ "$(section mount1)" = "rc=0" ] || fail "mount with ports: $(section mount1)"
[ "$(section ls)" = "rc=0" ] || fail "ls -laR: $(section ls)"
want_count=$(wc -l < "$tmp/want_stat")
[ "$(section count | tr -d ' ')" = "$want_count" ] || fail "find counted $(section count) entries, want $want_count"
section stat | LC_ALL=C sort > "$tmp/got_stat"
if ! diff "$tmp/want_stat" "$tmp/got_stat" > "$tmp/stat.diff"; then
  fail "entries differ (< host, > guest):"; head -n 20 "$tmp/stat.diff" >&2
fi
section sha | LC_ALL=C sort > "$tmp/got_sha"
if ! diff "$tmp/want_sha" "$tmp/got_sha" > "$tmp/sha.diff"; then
  fail "hashes differ (< host, > guest):"; head -n 20 "$tmp/sha.diff" >&2
fi
got_large=$(section large | cut -d' ' -f1)
[ "$got_large" = "$want_large" ] || fail "large.bin hash $got_large, want $want_large"
nwrites=0
while IFS= read -r line; do
  nwrites=$((nwrites + 1))
  case "$line" in
    *rc=0*) fail "write attempt succeeded: $line" ;;
    *"Read-only file system"*|*"Permission denied"*|*"Operation not permitted"*) ;;
    *) fail "write attempt failed with another error: $line" ;;
  esac
done < <(section writes)
[ "$nwrites" -eq 10 ] || fail "saw $nwrites write attempts, want 10"
[ "$(section umount)" = "rc=0" ] || fail "umount: $(section umount)"
m2=$(section mount2)
[ "$(echo "$m2" | head -n 1)" = "rc=0" ] || fail "mount through the portmapper: $m2"
mu=$(section mountudp)
[ "$mu" = "$m2" ] || fail "mount through the portmapper over UDP: $mu (over TCP: $m2)"
[ "$(section lan)" = "$(printf 'rc=0\nthree\naddr=%s' "$lan_host")" ] ||
  fail "mount over the LAN address with no port options: $(section lan)"
grep -q "own portmapper answers on port 111" "$tmp/server.err" "$tmp/server.out" ||
  fail "with --portmap auto and port 111 free the server did not say it runs its own portmapper"
ms=$(section mountsub)
[ "$ms" = "$(printf 'rc=0\nb.bin\ndeeper')" ] || fail "mount of a subfolder: $ms"
rs=$(section restart)
[ "$rs" = "$(printf 'rc=0\n==RESTART-NOW==\nls rc=0\nthree\ncat rc=0')" ] ||
  fail "a mount did not survive a restart with the same secret: $rs"
case "$(section restart-nosecret)" in
  *"Stale file handle"*) ;;
  *) fail "a restart with a new secret did not make the old handles stale: $(section restart-nosecret)" ;;
esac
# The tree on the host is unchanged.
[ "$(cat "$fx/a.txt")" = "hello" ] && [ ! -e "$fx/new.txt" ] && [ ! -e "$fx/newdir" ] && [ -e "$fx/sub/b.bin" ] ||
  fail "the exported tree changed"

echo "writes:"; section writes
if [ $status -eq 0 ]; then echo "kernel client: all checks passed ($want_count entries, accel $accel)"; fi
exit $status
