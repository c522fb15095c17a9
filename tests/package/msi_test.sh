#!/usr/bin/env bash
# The Windows installer under Wine, in a Wine prefix made for the run:
# `msiexec /i` installs the program, the DLL, the README and the LICENSE
# under Program Files and starts the service with its default export (ports given as
# properties, the portmapper off, so that nothing fixed is taken); the Linux
# libnfs client lists and reads files put into that export (SHA-256 equal);
# a service that cannot start fails the installation, rolled back; a newer
# version upgrades in place, keeping settings and secret;
# `msiexec /x` removes it all: files, folders, the service, its log, and
# every mention of the program in the registry.
#
# usage: msi_test.sh INSTALLER.msi
set -euo pipefail
msi_src="$1"
. "$(dirname "$0")/wine_common.sh"
wine_prefix_start

cp "$msi_src" "$work/setup.msi"
msi_win="$(winepath -w "$work/setup.msi")"
c="$WINEPREFIX/drive_c"
progdir="$c/Program Files/$name"
datadir="$c/ProgramData/$name"
log="$datadir/service.log"
nfs_port=$((20000 + RANDOM % 20000))
mount_port=$((nfs_port + 1))
key="HKLM\\System\\CurrentControlSet\\Services\\$name"

# A service that cannot start (an address this machine lacks) fails the
# installation, which is rolled back: nothing is left installed.
if timeout 300 wine msiexec /i "$msi_win" /qn BIND=192.0.2.1 NFSPORT="$nfs_port" MOUNTPORT="$mount_port" PORTMAP=0 \
     </dev/null >"$work/badbind.out" 2>&1; then
  bad "msiexec /i succeeded with a service that cannot bind"
else
  good
fi
[ ! -e "$progdir/$name.exe" ] && good || bad "a failed installation left the program behind"
# Wine's msiexec ends during the rollback (exit 91) before its last step,
# the rollback's `service remove`: the service's entry is left, and the next
# installation updates it. Windows runs the rollback whole.
if wine reg query "$key" </dev/null >/dev/null 2>&1; then echo "note: the rollback left the service's entry (Wine)"; fi
# The same unfinished rollback leaves the configuration file the failed
# installation wrote (on Windows `service remove` takes it with the
# service's other files), which would keep the next installation's settings
# out of it.
if [ -e "$datadir/exports.conf" ]; then
  echo "note: the rollback left exports.conf (Wine)"
  rm -f "$datadir/exports.conf"
fi

t0=$(date +%s)
if timeout 300 wine msiexec /i "$msi_win" /qn NFSPORT="$nfs_port" MOUNTPORT="$mount_port" PORTMAP=0 \
     </dev/null >"$work/install.out" 2>&1; then
  good
else
  bad "msiexec /i failed: $(tr -d '\r' <"$work/install.out" | tail -3)"
fi
echo "msiexec /i took $(( $(date +%s) - t0 )) s"
for f in "$name.exe" vorlix.dll README.md LICENSE; do
  [ -f "$progdir/$f" ] && good || bad "not installed: Program Files/$name/$f"
done
# The program and the library are installed stripped: no debugging sections.
if command -v x86_64-w64-mingw32-objdump >/dev/null; then
  for f in "$name.exe" vorlix.dll; do
    x86_64-w64-mingw32-objdump -h "$progdir/$f" | grep -q '\.debug' && bad "not stripped: $f" || good
  done
fi
wine reg query "$key" /v ImagePath </dev/null >"$work/image" 2>&1 || true
tr -d '\r' <"$work/image" | grep -q -- "service run --config=C:\\\\ProgramData\\\\$name\\\\exports.conf --secret" && good ||
  bad "service not registered as expected: $(tr -d '\r' <"$work/image" | tail -2)"
# The installer's settings are in the configuration file.
for l in "bind 127.0.0.1" "nfs-port $nfs_port" "mount-port $mount_port" "portmap 0" "allow /share=127.0.0.1/32"; do
  tr -d '\r' <"$datadir/exports.conf" 2>/dev/null | grep -qxF "$l" && good || bad "exports.conf lacks: $l"
done

if wait_for_lines "listening 127.0.0.1 nfs=$nfs_port" 1 300 "$log"; then
  good
  tr -d '\r' <"$log" | grep -q '^export 0 {"path":"/share"' && good || bad "default export not listed: $(tr -d '\r' <"$log")"
  make_share "$datadir/share"
  check_share "$datadir/share" /share "$nfs_port" "$mount_port"
  pass=$((pass + ok)); fail=$((fail + failed))
else
  bad "the service did not start: $(tr -d '\r' <"$log" 2>/dev/null | tail -3 || true)"
fi

# The Start-menu entry for the settings page runs the program's `admin`.
# It is installed for all users; Wine's msiexec puts it into the installing
# user's Start menu even so.
menu="$c/ProgramData/Microsoft/Windows/Start Menu/Programs/$name settings.lnk"
user_menu="$(echo "$c"/users/*/AppData/Roaming/Microsoft/Windows/"Start Menu/Programs/$name settings.lnk")"
if [ -f "$menu" ]; then
  good
elif [ -f "$user_menu" ]; then
  good
  echo "note: the settings entry went to the user's Start menu, not all users' (Wine)"
  menu="$user_menu"
else
  bad "no Start-menu entry: $(cd "$c" && find . -name '*.lnk' | head -3)"
fi
# The settings page against the installed service, as that entry starts it
# (without the browser, which the test plays with curl): its configuration
# file and status channel by default; a folder shared through the page is
# served after the service has read the file again; the page sees the
# client; the page that says it goes ends the command.
admin_check() {
  local out="$work/admin.out" url port token form films="$c/films" reply
  : >"$out"
  (cd "$work" && exec wine "$progdir/$name.exe" admin --no-browser </dev/null >"$out" 2>"$work/admin.err") &
  local admin_pid=$!
  for _ in $(seq 1 600); do
    grep -q '^settings page: http' "$out" && break
    kill -0 "$admin_pid" 2>/dev/null || break
    sleep 0.1
  done
  url="$(tr -d '\r' <"$out" | sed -n 's/^settings page: \(http[^ ]*\)$/\1/p')"
  if [ -z "$url" ]; then
    bad "admin printed no address: $(tr -d '\r' <"$out" "$work/admin.err" | head -5)"
    kill "$admin_pid" 2>/dev/null || true
    wait "$admin_pid" 2>/dev/null || true
    return
  fi
  port="$(echo "$url" | sed 's|^http://127.0.0.1:\([0-9]*\)/.*|\1|')"
  token="${url##*token=}"
  local base="http://127.0.0.1:$port" jar="$work/cookies"
  [ "$(curl -s -m 60 -c "$jar" -o /dev/null -w '%{http_code}' "$base/?token=$token")" = 303 ] && good ||
    bad "the page's token did not enter"
  form="$(curl -s -m 60 -b "$jar" "$base/" | sed -n 's/.*FORM_TOKEN = "\([0-9a-f]*\)".*/\1/p')"
  [ -n "$form" ] && good || bad "the page carries no form token"
  make_share "$films"
  : >"$log"  # emptied, so that the reload's line is the only one in it
  reply="$(curl -s -m 60 -b "$jar" -H "Origin: $base" --data-urlencode "path=/films" \
    --data-urlencode "folder=C:\\films" -d who=machine -d "form_token=$form" "$base/api/add")"
  echo "$reply" | grep -q '"ok":true' && good || bad "adding /films through the page: $reply"
  tr -d '\r' <"$datadir/exports.conf" | grep -qxF 'export /films=C:\films' && good ||
    bad "exports.conf lacks the export added: $(tr -d '\r' <"$datadir/exports.conf")"
  if wait_for_lines ".* info event=reload .*added=1 removed=0" 1 300 "$log"; then
    good
    check_share "$films" /films "$nfs_port" "$mount_port"
    pass=$((pass + ok)); fail=$((fail + failed))
  else
    bad "the service did not read the file again: $(tr -d '\r' <"$log" | tail -3)"
  fi
  reply="$(curl -s -m 60 -b "$jar" "$base/api/status")"
  echo "$reply" | grep -q '"ok":true' && echo "$reply" | grep -q '127\.0\.0\.1' && good ||
    bad "the page's status names no client: $reply"
  # Removed again through the page, so that the upgrade below starts the
  # service with the installer's settings only.
  reply="$(curl -s -m 60 -b "$jar" -H "Origin: $base" --data-urlencode "path=/films" -d "form_token=$form" \
    "$base/api/remove")"
  echo "$reply" | grep -q '"ok":true' && good || bad "removing /films through the page: $reply"
  curl -s -m 60 -b "$jar" -H "Origin: $base" -d "form_token=$form" "$base/api/bye" >/dev/null || true
  for _ in $(seq 1 600); do
    kill -0 "$admin_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$admin_pid" 2>/dev/null; then
    bad "admin did not end when the page said it goes"
    kill "$admin_pid" 2>/dev/null || true
  fi
  wait "$admin_pid" 2>/dev/null && good || bad "admin's exit code was not 0: $(tr -d '\r' <"$work/admin.err")"
  rm -rf "$films"
}
admin_check

# A newer version installs over this one in place, made here from the same
# installer source with the version raised: the settings and the secret are
# kept, and the service runs again. The same or an older version is refused.
pkg="$(dirname "$msi_src")/packaging"
if command -v wixl >/dev/null && [ -f "$pkg/installer.wxs" ]; then
  cp -r "$pkg" "$work/pkg"
  ver="$(sed -n 's/.*<Product [^>]*Version="\([0-9.]*\)".*/\1/p' "$work/pkg/installer.wxs" | head -1)"
  next="${ver%.*}.$(( ${ver##*.} + 1 ))"
  sed -i "s/\"$ver\"/\"$next\"/g" "$work/pkg/installer.wxs"
  (cd "$work/pkg" && wixl -a x64 -o "$work/next.msi" installer.wxs) >/dev/null 2>&1
  next_win="$(winepath -w "$work/next.msi")"
  secret="$datadir/secret"
  cp "$secret" "$work/secret.before" 2>/dev/null || true
  : >"$log"  # emptied, so that the start after the upgrade is the only one in it
  if timeout 300 wine msiexec /i "$next_win" /qn </dev/null >"$work/upgrade.out" 2>&1; then good; else bad "upgrade to $next failed"; fi
  # Wine's msiexec removes the older version without UPGRADINGPRODUCTCODE,
  # so its removal takes the secret with it; Windows sets it, and the
  # secret stays.
  cmp -s "$secret" "$work/secret.before" || echo "note: the secret was made again on upgrade (Wine)"
  wine reg query "$key" /v ImagePath </dev/null >"$work/image2" 2>&1 || true
  # The settings are on the service's command line, or in the configuration
  # file when the upgrade wrote it anew.
  if tr -d '\r' <"$work/image2" | grep -q -- "--nfs-port $nfs_port --mount-port $mount_port --portmap 0" ||
     { tr -d '\r' <"$datadir/exports.conf" 2>/dev/null | grep -qxF "nfs-port $nfs_port" &&
       tr -d '\r' <"$datadir/exports.conf" | grep -qxF "portmap 0"; }; then
    good
  else
    bad "settings not kept on upgrade: $(tr -d '\r' <"$work/image2" | tail -2) / $(tr -d '\r' <"$datadir/exports.conf" 2>/dev/null)"
  fi
  if wait_for_lines "listening 127.0.0.1 nfs=$nfs_port" 1 300 "$log"; then good; else bad "not running after the upgrade"; fi
  # Another build of the same version (another product code; the same
  # package again would only repair the installed one), and the older one.
  (cd "$work/pkg" && wixl -a x64 -o "$work/same.msi" installer.wxs) >/dev/null 2>&1
  for older in "$(winepath -w "$work/same.msi")" "$msi_win"; do
    if timeout 300 wine msiexec /i "$older" /qn </dev/null >/dev/null 2>&1; then bad "$older installed over $next"; else good; fi
  done
  msi_win="$next_win"
else
  echo "upgrade not checked: wixl or $pkg/installer.wxs missing"
fi

# The files put into the export are the user's; they go before the
# uninstall, so that the folder made by the installer is empty again.
rm -rf "${datadir:?}/share/"*
t0=$(date +%s)
if timeout 300 wine msiexec /x "$msi_win" /qn </dev/null >"$work/remove.out" 2>&1; then
  good
else
  bad "msiexec /x failed: $(tr -d '\r' <"$work/remove.out" | tail -3)"
fi
echo "msiexec /x took $(( $(date +%s) - t0 )) s"
(exec 3<>"/dev/tcp/127.0.0.1/$nfs_port") 2>/dev/null && bad "the server still listens after uninstall" || good
[ ! -e "$progdir" ] && good || bad "left behind: $(cd "$c" && find "Program Files/$name" | head -5)"
[ ! -e "$datadir" ] && good || bad "left behind: $(cd "$c" && find "ProgramData/$name" | head -5)"
[ ! -e "$menu" ] && good || bad "the Start-menu entry is left behind"
if wine reg query "$key" </dev/null >/dev/null 2>&1; then bad "the service is still registered"; else good; fi
# The registry as Wine saves it: no mention of the program is left.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
left=$(grep -l -i "$name" "$WINEPREFIX"/*.reg 2>/dev/null || true)
if [ -z "$left" ]; then
  good
else
  bad "the registry still names the program in: $left"
  grep -i -B2 "$name" "$WINEPREFIX"/*.reg | head -10
fi
echo "windows installer under wine: $pass passed, $fail failed"
[ "$fail" = 0 ]
