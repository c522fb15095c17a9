#!/usr/bin/env bash
# Builds the .deb the way scripts/package does (a build configured for
# /usr), unpacks it into a temporary root without installing it, and checks
# its files, the library's SONAME, the pkg-config file, the systemd unit
# (systemd-analyze verify and its exposure score, where systemd-analyze is
# there) and the service's start script: the server it starts keeps serving
# with its standard input at its end, reads its settings from the
# environment, keeps the secret it made, and stops on SIGTERM.
#
# usage: deb_test.sh SOURCE_DIR
set -euo pipefail
src="$1"
prog=tarvelin-quillmoor-nfs-v3-file-server
for tool in dpkg-deb cpack readelf; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
tmp=$(mktemp -d /tmp/vorlix-deb.XXXXXX)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then kill "$server_pid" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
fail=0
bad() { echo "FAILED: $*"; fail=1; }

cmake -S "$src" -B "$tmp/build" -DCMAKE_INSTALL_PREFIX=/usr -DVORLIX_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >"$tmp/log" 2>&1 ||
  { cat "$tmp/log"; exit 1; }
cmake --build "$tmp/build" -j2 >>"$tmp/log" 2>&1 || { tail -30 "$tmp/log"; exit 1; }
(cd "$tmp/build" && cpack -G DEB -B "$tmp/out") >>"$tmp/log" 2>&1 || { tail -30 "$tmp/log"; exit 1; }
deb=$(ls "$tmp"/out/*.deb)
root="$tmp/root"
dpkg-deb -x "$deb" "$root"

# ---- Files, SONAME, control data ---------------------------------------------
libdir=$(cd "$root/usr" && ls -d lib/*-linux-gnu 2>/dev/null | head -n 1)
[ -n "$libdir" ] || libdir=lib
for f in usr/bin/$prog usr/include/vorlix.h "usr/$libdir/libvorlix.so" "usr/$libdir/pkgconfig/vorlix.pc" \
         usr/lib/systemd/system/$prog.service etc/default/$prog usr/libexec/$prog/service-start \
         etc/$prog/exports.conf \
         usr/share/doc/$prog/README.md usr/share/doc/$prog/copyright; do
  [ -e "$root/$f" ] || bad "missing in the package: /$f"
done
soname=$(readelf -d "$root/usr/$libdir/libvorlix.so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = libvorlix.so.1 ] || bad "SONAME is '$soname', want libvorlix.so.1"
[ -e "$root/usr/$libdir/$soname" ] || bad "no file named after the SONAME"
# Only the library's own symbols leave it.
others=$(nm -D --defined-only "$root/usr/$libdir/libvorlix.so" | awk '{print $3}' | grep -v '^vorlix_' || true)
[ -z "$others" ] || bad "library exports more than vorlix_*: $others"
# vorlix.pc finds the prefix from its own folder: /usr once installed, the
# unpacked root's usr here.
pc="$root/usr/$libdir/pkgconfig/vorlix.pc"
grep -qx "libdir=\${prefix}/$libdir" "$pc" || bad "vorlix.pc libdir is not \${prefix}/$libdir"
if command -v pkg-config >/dev/null; then
  pc_prefix=$(PKG_CONFIG_PATH="$(dirname "$pc")" pkg-config --variable=prefix vorlix)
  [ "$(cd "$pc_prefix" && pwd -P)" = "$(cd "$root/usr" && pwd -P)" ] || bad "vorlix.pc prefix $pc_prefix is not the package's /usr"
else
  grep -qx 'prefix=${pcfiledir}/../../..' "$pc" || grep -qx 'prefix=${pcfiledir}/../..' "$pc" || bad "vorlix.pc prefix: $(head -1 "$pc")"
fi
dpkg-deb -f "$deb" Package | grep -qx "$prog" || bad "package name"
dpkg-deb -f "$deb" Depends | grep -q libc6 || bad "no dependency on libc6"
mkdir "$tmp/control"
dpkg-deb -e "$deb" "$tmp/control"
grep -qx "/etc/default/$prog" "$tmp/control/conffiles" || bad "the settings file is not a conffile"
grep -qx "/etc/$prog/exports.conf" "$tmp/control/conffiles" || bad "the configuration file is not a conffile"
for s in postinst prerm postrm; do
  [ -x "$tmp/control/$s" ] && sh -n "$tmp/control/$s" || bad "maintainer script $s"
done
[ "$(dpkg-deb -c "$deb" | awk '{print $1}' | grep -c '^-.*s')" = 0 ] || bad "a set-user or set-group file"

# ---- The unit ------------------------------------------------------------------
unit="$root/usr/lib/systemd/system/$prog.service"
want_lines=("EnvironmentFile=/etc/default/$prog" "ExecStart=/usr/libexec/$prog/service-start" "DynamicUser=yes"
            "ProtectSystem=strict" "CapabilityBoundingSet=CAP_NET_BIND_SERVICE"
            "AmbientCapabilities=CAP_NET_BIND_SERVICE" "NoNewPrivileges=yes" "StandardInput=null" "KillSignal=SIGTERM"
            'ExecReload=/bin/kill -HUP $MAINPID')
for l in "${want_lines[@]}"; do grep -qx "$l" "$unit" || bad "unit lacks: $l"; done
if command -v systemd-analyze >/dev/null; then
  # The unit as installed, with ExecStart pointing into the unpacked root so
  # that verify finds the program; any warning counts as a failure.
  sed "s|^ExecStart=|ExecStart=$root|" "$unit" >"$tmp/$prog.service"
  if ! out=$(systemd-analyze verify --man=no --generators=no "$tmp/$prog.service" 2>&1) || [ -n "$out" ]; then
    bad "systemd-analyze verify: $out"
  fi
  score=$(systemd-analyze security --offline=yes "$tmp/$prog.service" 2>/dev/null |
          sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
  echo "systemd exposure score: ${score:-?}"
  awk -v s="${score:-99}" 'BEGIN { exit !(s <= 2.5) }' || bad "exposure score ${score:-?} above 2.5"
else
  echo "systemd-analyze is not installed: unit not verified"
fi

# ---- The start script: settings from the environment, stdin at its end ---------
share="$tmp/share"
mkdir -p "$share/sub" "$tmp/state"
head -c 300000 /dev/urandom >"$share/sub/data.bin"
sed "s|/usr/bin/$prog|$root/usr/bin/$prog|; s|/etc/$prog/exports.conf|$root/etc/$prog/exports.conf|" \
  "$root/usr/libexec/$prog/service-start" >"$tmp/service-start"
# One run of the service as systemd starts it: its environment from the
# settings file, standard input at its end.
# The installed settings are used as they are but for the export and the
# ports (none fixed, and no portmapper).
run_service() {
  : >"$tmp/server.out"
  (
    set -a
    . "$root/etc/default/$prog"
    set +a
    exec env -i PATH=/usr/bin:/bin STATE_DIRECTORY="$tmp/state" BIND="$BIND" SECRET="$SECRET" \
      EXPORTS="--export /share=$share" ALLOW="--allow /share=127.0.0.0/8" OPTIONS="--nfs-port 0 --mount-port 0" \
      sh "$tmp/service-start" </dev/null >"$tmp/server.out" 2>&1
  ) &
  server_pid=$!
  for _ in $(seq 1 100); do
    grep -q '^listening' "$tmp/server.out" && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  return 1
}
stop_service() {
  kill -TERM "$server_pid"
  for _ in $(seq 1 100); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$server_pid" 2>/dev/null; then bad "SIGTERM did not stop the server within 10 s"; return; fi
  wait "$server_pid" || bad "exit code $? after SIGTERM"
  server_pid=""
}
if run_service; then
  sleep 1
  kill -0 "$server_pid" 2>/dev/null || bad "the server ended when its standard input was at its end"
  # systemctl reload: a hang-up reads the installed configuration file again.
  kill -HUP "$server_pid"
  for _ in $(seq 1 100); do grep -q ' event=reload ' "$tmp/server.out" && break; sleep 0.1; done
  grep -q ' info event=reload file=.*added=0 removed=0 changed=0 failed=0' "$tmp/server.out" ||
    bad "no reload after a hang-up: $(tail -3 "$tmp/server.out")"
  kill -0 "$server_pid" 2>/dev/null || bad "the server ended on a hang-up"
  grep -q '^export 0 .*"path":"/share"' "$tmp/server.out" || bad "export not listed: $(head -3 "$tmp/server.out")"
  nfs=$(sed -n 's/^listening .* nfs=\([0-9]*\) mount=\([0-9]*\).*/\1/p' "$tmp/server.out")
  mnt=$(sed -n 's/^listening .* nfs=\([0-9]*\) mount=\([0-9]*\).*/\2/p' "$tmp/server.out")
  if command -v nfs-cat >/dev/null; then
    got=$(timeout 30 nfs-cat "nfs://127.0.0.1/share/sub/data.bin?nfsport=$nfs&mountport=$mnt&version=3" | sha256sum)
    [ "$got" = "$(sha256sum <"$share/sub/data.bin")" ] || bad "nfs-cat read other bytes"
  fi
  stop_service
else
  bad "the service did not start: $(head -5 "$tmp/server.out")"
fi
secret1=$(cat "$tmp/state/secret" 2>/dev/null || true)
[ ${#secret1} = 64 ] || bad "no 64-digit secret kept in the state folder"
[ "$(stat -c %a "$tmp/state/secret" 2>/dev/null)" = 600 ] || bad "the kept secret is readable by others"
# A second start keeps the secret made by the first.
if run_service; then stop_service; else bad "the service did not start again"; fi
[ "$(cat "$tmp/state/secret" 2>/dev/null)" = "$secret1" ] || bad "the secret changed across restarts"

[ "$fail" = 0 ] && echo "deb test passed"
exit "$fail"
