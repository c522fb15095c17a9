#!/usr/bin/env bash
# Checks the Debian packages that deb_build made with scripts/package
# (dpkg-buildpackage) without installing them: lintian finds no error and
# no warning in any of them; their files, the library's SONAME and symbols,
# the pkg-config file, the control data and the hardening of the programs;
# the systemd unit (systemd-analyze verify and its exposure score, where
# systemd-analyze is there); and the service's start script, in a network
# namespace of its own: the server it starts keeps serving with its
# standard input at its end, reads its settings from the environment and
# its secret from a file made once in the state folder, readable by the
# service only and never on the command line, and stops on SIGTERM.
#
# usage: deb_test.sh SOURCE_DIR DEB_DIR   (DEB_DIR/1 holds the packages)
set -u  # no pipefail: `... | grep -q` ends its writer early on purpose
src="$1"
debs="$2/1"
prog=tarvelin-quillmoor-nfs-v3-file-server
skip() { echo "skipped: $*"; exit 77; }

if [ -z "${DEB_TEST_IN_NETNS:-}" ]; then
  for tool in dpkg-deb lintian readelf unshare ip; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
  done
  ls "$debs"/${prog}_*.deb >/dev/null 2>&1 || skip "no packages in $debs (deb_build did not make them)"
  # The server binds its ports in a network namespace of its own, where no
  # other program can hold them.
  ns_opts=(--net)
  [ "$(id -u)" -eq 0 ] || ns_opts=(--user --map-root-user --net)
  unshare "${ns_opts[@]}" -- true 2>/dev/null || skip "no private network namespace here"
  DEB_TEST_IN_NETNS=1 exec unshare "${ns_opts[@]}" -- bash "$0" "$@"
fi
ip link set lo up

tmp=$(mktemp -d /tmp/vorlix-deb.XXXXXX)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then kill "$server_pid" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
fail=0
bad() { echo "FAILED: $*"; fail=1; }

deb=$(ls "$debs"/${prog}_*.deb)
lib_deb=$(ls "$debs"/libvorlix1_*.deb)
dev_deb=$(ls "$debs"/libvorlix-dev_*.deb)

# ---- lintian: no error, no warning -----------------------------------------------
for d in "$debs"/*.deb; do
  out=$(lintian --fail-on error,warning --tag-display-limit 0 "$d" 2>&1) || bad "lintian $(basename "$d"): $out"
  out=$(grep -v '^running with root privileges' <<<"$out")
  echo "lintian $(basename "$d"): ${out:-clean}"
done

# ---- The version, one fact: the package's is the project's -------------------------
project_version=$(sed -n 's/^project([^)]* VERSION \([0-9.]*\) .*/\1/p' "$src/CMakeLists.txt")
changelog_version=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
[ "${changelog_version%%[+~-]*}" = "$project_version" ] ||
  bad "debian/changelog says $changelog_version, CMakeLists.txt's project() $project_version"

# ---- Files, SONAME, symbols, control data -------------------------------------------
root="$tmp/root"
for d in "$deb" "$lib_deb" "$dev_deb"; do dpkg-deb -x "$d" "$root"; done
libdir=$(cd "$root/usr" && ls -d lib/*-linux-gnu | head -n 1)
for f in usr/bin/$prog usr/include/vorlix.h "usr/$libdir/libvorlix.so" "usr/$libdir/pkgconfig/vorlix.pc" \
         lib/systemd/system/$prog.service etc/default/$prog etc/$prog/exports.conf usr/libexec/$prog/service-start \
         usr/share/doc/$prog/README.md.gz usr/share/doc/$prog/copyright usr/share/man/man8/$prog.8.gz \
         usr/share/doc/libvorlix1/copyright usr/share/doc/libvorlix-dev/copyright; do
  [ -e "$root/$f" ] || bad "missing in the packages: /$f"
done
in_package() { dpkg-deb -c "$1" | awk '{print $6}' | grep -q "$2"; }
in_package "$lib_deb" "libvorlix\.so\.1" || bad "libvorlix1 lacks the library"
in_package "$dev_deb" "include/vorlix\.h" || bad "libvorlix-dev lacks the header"
in_package "$deb" "libvorlix" && bad "the server package holds a copy of the library"
soname=$(readelf -d "$root/usr/$libdir/libvorlix.so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = libvorlix.so.1 ] || bad "SONAME is '$soname', want libvorlix.so.1"
# Only the library's own symbols leave it, and the symbols file lists each.
others=$(nm -D --defined-only "$root/usr/$libdir/libvorlix.so" | awk '{print $3}' | grep -v '^vorlix_' || true)
[ -z "$others" ] || bad "library exports more than vorlix_*: $others"
mkdir "$tmp/libctl"
dpkg-deb -e "$lib_deb" "$tmp/libctl"
exported=$(nm -D --defined-only "$root/usr/$libdir/libvorlix.so" | awk '{print $3}' | sort)
listed=$(sed -n 's/^ \(vorlix_[a-z0-9_]*\)@Base .*/\1/p' "$tmp/libctl/symbols" | sort)
[ "$exported" = "$listed" ] ||
  bad "debian/libvorlix1.symbols differs from the library's functions: $(diff <(echo "$listed") <(echo "$exported") | grep '^[<>]' | tr '\n' ' ')"
grep -q "activate-noawait ldconfig" "$tmp/libctl/triggers" || bad "libvorlix1 has no ldconfig trigger"
# vorlix.pc finds the prefix from its own folder: /usr once installed.
pc="$root/usr/$libdir/pkgconfig/vorlix.pc"
grep -qx "libdir=\${prefix}/$libdir" "$pc" || bad "vorlix.pc libdir is not \${prefix}/$libdir"
dpkg-deb -f "$deb" Depends | grep -q "libvorlix1 (= " || bad "the server package does not depend on libvorlix1"
dpkg-deb -f "$dev_deb" Depends | grep -q "libvorlix1 (= " || bad "libvorlix-dev does not depend on libvorlix1"
mkdir "$tmp/control"
dpkg-deb -e "$deb" "$tmp/control"
for f in "/etc/default/$prog" "/etc/$prog/exports.conf"; do
  grep -qx "$f" "$tmp/control/conffiles" || bad "$f is not a conffile"
done
for s in postinst prerm postrm; do
  [ -x "$tmp/control/$s" ] && sh -n "$tmp/control/$s" || bad "maintainer script $s"
done
# An upgrade does not stop the service; it is restarted after (try-restart:
# only when it ran), and a purge removes its enablement.
grep -q '"\$1" = remove' "$tmp/control/prerm" && grep -q 'deb-systemd-invoke stop' "$tmp/control/prerm" ||
  bad "prerm does not stop the service on removal only"
[ -e "$tmp/control/preinst" ] && grep -q 'deb-systemd-invoke stop' "$tmp/control/preinst" &&
  bad "preinst stops the service before an upgrade"
grep -q 'deb-systemd-invoke try-restart' "$tmp/control/postinst" || bad "postinst does not restart a running service"
grep -q 'deb-systemd-helper purge' "$tmp/control/postrm" || bad "postrm does not remove the enablement on purge"
[ "$(dpkg-deb -c "$deb" | awk '{print $1}' | grep -c '^-.*s')" = 0 ] || bad "a set-user or set-group file"
# Hardening from dpkg-buildflags: bound at start, position independent,
# fortified functions.
for elf in "usr/bin/$prog" "usr/$libdir/$soname"; do
  readelf -d "$root/$elf" | grep -q 'BIND_NOW' || bad "$elf is not linked with -z now"
  nm -D "$root/$elf" | grep -q '_chk@' || bad "$elf calls no fortified function"
done
readelf -d "$root/usr/bin/$prog" | grep -q 'PIE' || bad "the program is not position independent"

# ---- The unit ------------------------------------------------------------------
unit="$root/lib/systemd/system/$prog.service"
want_lines=("Type=notify" "ExecReload=/bin/kill -HUP \$MAINPID" "StartLimitBurst=5" "Restart=on-failure"
            "EnvironmentFile=/etc/default/$prog" "ExecStart=/usr/libexec/$prog/service-start" "DynamicUser=yes"
            "StateDirectory=$prog" "ProtectSystem=strict" "CapabilityBoundingSet=CAP_NET_BIND_SERVICE"
            "NoNewPrivileges=yes" "StandardInput=null")
for l in "${want_lines[@]}"; do grep -qxF "$l" "$unit" || bad "unit lacks: $l"; done
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

# ---- The start script: settings from the environment, the secret from a file ------
share="$tmp/share"
mkdir -p "$share/sub" "$tmp/state"
head -c 300000 /dev/urandom >"$share/sub/data.bin"
sed "s|/usr/bin/$prog|$root/usr/bin/$prog|; s|/etc/$prog/exports.conf|$root/etc/$prog/exports.conf|" \
  "$root/usr/libexec/$prog/service-start" >"$tmp/service-start"
# One run of the service as systemd starts it: its environment from the
# settings file, standard input at its end. The installed settings are used
# as they are but for the export and the ports (chosen by the system, and
# no portmapper).
run_service() {
  : >"$tmp/server.out"
  (
    set -a
    . "$root/etc/default/$prog"
    set +a
    exec env -i PATH=/usr/bin:/bin STATE_DIRECTORY="$tmp/state" BIND="$BIND" \
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
  # The settings page's status channel: a socket of the state folder that
  # only the service's user and root open.
  [ "$(stat -c %a "$tmp/state/status.sock" 2>/dev/null)" = 600 ] ||
    bad "no status channel 0600 in the state folder: $(ls -l "$tmp/state" 2>&1)"
  # systemctl reload: a hang-up reads the installed configuration file again.
  kill -HUP "$server_pid"
  for _ in $(seq 1 100); do grep -q ' event=reload ' "$tmp/server.out" && break; sleep 0.1; done
  grep -q ' info event=reload file=.*added=0 removed=0 changed=0 failed=0' "$tmp/server.out" ||
    bad "no reload after a hang-up: $(tail -3 "$tmp/server.out")"
  kill -0 "$server_pid" 2>/dev/null || bad "the server ended on a hang-up"
  grep -q '^export 0 .*"path":"/share"' "$tmp/server.out" || bad "export not listed: $(head -3 "$tmp/server.out")"
  # The secret reaches the server by its file's name only.
  args=$(tr '\0' ' ' <"/proc/$server_pid/cmdline")
  case "$args" in *"--secret-file $tmp/state/secret"*) ;; *) bad "no --secret-file in: $args" ;; esac
  secret=$(cat "$tmp/state/secret" 2>/dev/null || true)
  case "$args" in *"$secret"*) bad "the secret is on the command line" ;; esac
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
