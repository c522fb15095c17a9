#!/usr/bin/env bash
# The Debian packages on a running system: a container booted with systemd
# (systemd-nspawn over an overlay of this machine's root, so nothing here
# changes), with a network namespace of its own and rpcbind running in it.
# Inside, deb_system_inside.sh installs the packages of DEB_DIR/1, enables
# and starts the service, reaches it through rpcbind (rpcinfo -p, nfs-ls),
# upgrades to a second build with a higher version (made here by
# scripts/package --deb-version into DEB_DIR/2), checks that the service
# runs again, that a start that cannot succeed ends failed with its reason
# in the journal, and purges. Needs root; skipped (77) with the reason where
# containers cannot run.
#
# usage: deb_system_test.sh SOURCE_DIR DEB_DIR
set -u  # no pipefail: `... | grep -q` ends its writer early on purpose
src="$1"
deb_dir="$2"
prog=tarvelin-quillmoor-nfs-v3-file-server
here="$(cd "$(dirname "$0")" && pwd)"
skip() { echo "skipped: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }

if [ -z "${DEB_SYSTEM_IN_MOUNTNS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || skip "a container needs root"
  for tool in systemd-nspawn unshare timeout dpkg-parsechangelog; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (apt-get install systemd-container)"
  done
  [ -x /usr/lib/systemd/systemd ] || [ -x /lib/systemd/systemd ] || skip "systemd is not installed"
  for tool in rpcbind rpcinfo nfs-ls; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (rpcbind, libnfs-utils)"
  done
  ls "$deb_dir"/1/${prog}_*.deb >/dev/null 2>&1 || skip "no packages in $deb_dir/1 (deb_build did not make them)"
  # The overlay and the container's mounts stay in a mount namespace of
  # this test's own and vanish with it.
  unshare --mount --propagation private -- true 2>/dev/null || skip "no private mount namespace here"
  DEB_SYSTEM_IN_MOUNTNS=1 exec unshare --mount --propagation private -- bash "$0" "$@"
fi

tmp=$(mktemp -d /tmp/vorlix-debsys.XXXXXX)
root="$tmp/root"
cleanup() {
  umount "$root" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
mkdir -p "$tmp/upper" "$tmp/work" "$root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$tmp/upper,workdir=$tmp/work" "$root" 2>"$tmp/err" ||
  skip "no overlay of the root here: $(cat "$tmp/err")"
# systemd-nspawn keeps its runtime files in /run/systemd/nspawn, which must
# be a memory file system; here it is one of this mount namespace.
mkdir -p /run/systemd/nspawn && mount -t tmpfs tmpfs /run/systemd/nspawn || skip "cannot mount a tmpfs"

# Can a container boot here at all? (A machine without cgroups for it, or
# inside another container, cannot.)
if ! out=$(timeout 60 systemd-nspawn -q -D "$root" --register=no --keep-unit --private-network \
             --link-journal=no /bin/true 2>&1); then
  skip "systemd-nspawn cannot run a container here: $out"
fi

# The upgrade: the same tree built as a higher version, again whenever the
# first build is newer.
v1_deb=$(ls "$deb_dir"/1/${prog}_*.deb)
v1=$(dpkg-deb -f "$v1_deb" Version)
v2="$v1+upgrade1"
v2_deb=$(ls "$deb_dir"/2/${prog}_"$v2"_*.deb 2>/dev/null)
if [ -z "$v2_deb" ] || [ "$v1_deb" -nt "$v2_deb" ]; then
  rm -rf "$deb_dir/2"
  "$src/scripts/package" --deb --out "$deb_dir/2" --deb-version "$v2" >"$tmp/build2.log" 2>&1 ||
    fail "the second build failed: $(tail -20 "$tmp/build2.log")"
fi

# The container: its own machine id, the packages and the script that
# checks them, run by systemd as a target of its own that brings up only
# the base system (and rpcbind's socket), not this machine's services.
rm -f "$root/etc/machine-id"
# A policy-rc.d left by a container image forbids maintainer scripts to
# start or stop services; a booted system has none.
rm -f "$root/usr/sbin/policy-rc.d"
systemd-machine-id-setup --root="$root" >/dev/null 2>&1 || fail "cannot give the container a machine id"
pkgtest="$root/root/vorlix-pkgtest"
mkdir -p "$pkgtest/1" "$pkgtest/2"
cp "$deb_dir"/1/*.deb "$pkgtest/1/"
cp "$deb_dir"/2/*.deb "$pkgtest/2/"
cp "$here/deb_system_inside.sh" "$pkgtest/inside.sh"
cat >"$root/etc/systemd/system/vorlix-pkgtest.service" <<'UNIT'
[Unit]
Description=Package test of tarvelin-quillmoor-nfs-v3-file-server
After=basic.target rpcbind.socket

[Service]
Type=oneshot
ExecStart=/bin/bash /root/vorlix-pkgtest/inside.sh
ExecStopPost=/bin/systemctl poweroff --no-block
UNIT
cat >"$root/etc/systemd/system/vorlix-pkgtest.target" <<'UNIT'
[Unit]
Description=The base system and the package test
Requires=basic.target
Wants=vorlix-pkgtest.service rpcbind.socket
After=basic.target
AllowIsolate=yes
UNIT

echo "booting the container (systemd-nspawn -b)"
timeout 900 systemd-nspawn -q -D "$root" --register=no --keep-unit --private-network --link-journal=no \
  -M "vorlix-pkgtest-$$" -b systemd.unit=vorlix-pkgtest.target </dev/null >"$tmp/console.log" 2>&1
rc=$?
cat "$pkgtest/log" 2>/dev/null || echo "(no log from inside the container)"
[ $rc -ne 124 ] || { tail -30 "$tmp/console.log"; fail "the container did not end within 900 s"; }
result=$(cat "$pkgtest/result" 2>/dev/null || true)
[ "$result" = passed ] || { tail -30 "$tmp/console.log"; fail "inside the container: ${result:-no result}"; }
echo "deb system test passed"
