# Shared by the Wine package tests (sourced): skips (exit 77) without Wine
# or libnfs's tools; a private Wine prefix in a temporary folder made for the
# run, its own persistent wineserver, and a cleanup that ends only that
# prefix's wineserver and removes the folder; counters of checks.
# Sets: name (the program's), work (the temporary folder), WINEPREFIX,
# pass and fail (with good and bad to count). Call wine_prefix_start.
name=tarvelin-quillmoor-nfs-v3-file-server
for tool in wine wineserver nfs-ls nfs-cat; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
pass=0
fail=0
bad() { echo "FAILED: $*"; fail=$((fail + 1)); }
good() { pass=$((pass + 1)); }
export WINEDEBUG=-all
# No Gecko or Mono prompts; and no menu entries made outside the prefix
# (Wine's menu builder writes the desktop's menus in the home folder).
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LANG=C.UTF-8 LC_ALL=C.UTF-8
unset DISPLAY
work="$(mktemp -d /tmp/vorlix-winepkg.XXXXXX)"
export WINEPREFIX="$work/prefix"

wine_cleanup() {
  local rc=$?
  if [ -d "$WINEPREFIX" ]; then wineserver -k 2>/dev/null || true; fi
  rm -rf "$work"
  return $rc
}
trap wine_cleanup EXIT

wine_prefix_start() {
  mkdir -p "$WINEPREFIX"
  wineserver -p </dev/null >/dev/null 2>&1
  timeout 300 wineboot -i </dev/null >/dev/null 2>&1 || { echo "wineboot failed"; exit 1; }
  # The service manager of a new prefix's first session stays busy (its
  # database locked); the prefix is started again, as a machine reboots.
  wine_reboot
}

# Ends every process of the prefix and starts its wineserver and service
# manager again; services set to start automatically start, as at boot.
wine_reboot() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  wineserver -p </dev/null >/dev/null 2>&1
  timeout 120 wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

# Makes a folder of test files (one with an accent in its name) at $1.
make_share() {
  local d="$1"
  mkdir -p "$d/sub"
  head -c 3000000 /dev/urandom >"$d/big.bin"
  printf 'hello\n' >"$d/sub/hello.txt"
  printf 'caf\xc3\xa9\n' >"$d/sub/caf$(printf '\xc3\xa9').txt"
}

# Lists the export at nfs://127.0.0.1$2 (ports $3 and $4) with libnfs and
# reads every file of folder $1 through it, comparing SHA-256; counts the
# checks that held and failed in the variables ok and failed.
check_share() {
  local d="$1" path="$2" q="?nfsport=$3&mountport=$4&version=3"
  ok=0
  failed=0
  timeout 60 nfs-ls -R "nfs://127.0.0.1$path$q" >"$work/listing" 2>&1 || true
  (cd "$d" && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort) >"$work/want_names"
  awk '{ $1=$2=$3=$4=$5=""; sub(/^ +/, ""); print }' "$work/listing" | LC_ALL=C sort >"$work/got_names"
  if cmp -s "$work/want_names" "$work/got_names"; then
    ok=$((ok + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: nfs-ls listing differs"
    diff "$work/want_names" "$work/got_names" | head -10 || true
  fi
  local f rel want got
  while IFS= read -r -d '' f; do
    rel="${f#"$d"/}"
    want="$(sha256sum <"$f" | cut -d' ' -f1)"
    got="$(timeout 60 nfs-cat "nfs://127.0.0.1$path/$rel$q" 2>/dev/null | sha256sum | cut -d' ' -f1)" || true
    if [ "$want" = "$got" ]; then
      ok=$((ok + 1))
    else
      failed=$((failed + 1))
      echo "FAILED: nfs-cat $rel: sha256 $got, want $want"
    fi
  done < <(find "$d" -type f -print0)
}

# Waits up to $3 tenths of a second for file $4 to hold $2 lines starting
# with $1.
wait_for_lines() {
  for _ in $(seq 1 "$3"); do
    [ -f "$4" ] && [ "$(tr -d '\r' <"$4" | grep -c "^$1")" -ge "$2" ] && return 0
    sleep 0.1
  done
  return 1
}
