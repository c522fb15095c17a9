#!/usr/bin/env bash
# The README's two commands as a new user meets them: scripts/serve answers
# --help, serves a single file as well as a folder, takes --bind ADDRESS and
# --bind=ADDRESS and prints the URL and the mount line for that address;
# scripts/test refuses an unknown option by name (exit 2) before doing
# anything. The server is the one built here (VORLIX_SERVE_EXE), on its
# default ports without the portmapper, in a private network namespace of
# its own, so that nothing else holds those ports.
#
# usage: scripts_test.sh SERVER_EXE SOURCE_DIR
# Exits 77 (skipped) when no network namespace can be made.
set -uo pipefail
exe="$1"
src="$2"
if [ -z "${SCRIPTS_TEST_IN_NETNS:-}" ]; then
  ns_opts=(--net)
  [ "$(id -u)" -eq 0 ] || ns_opts=(--user --map-root-user --net)
  for tool in unshare ip timeout; do
    command -v "$tool" >/dev/null || { echo "scripts test: skipped: $tool is not installed"; exit 77; }
  done
  unshare "${ns_opts[@]}" -- true 2>/dev/null || { echo "scripts test: skipped: no private network namespace here"; exit 77; }
  SCRIPTS_TEST_IN_NETNS=1 exec unshare "${ns_opts[@]}" -- bash "$0" "$@"
fi
ip link set lo up 2>/dev/null || { echo "FAILED: cannot bring up the namespace's loopback"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail=0
bad() { echo "FAILED: $*"; fail=1; }

# serve ARGS...: the script's output until its console quits, in $tmp/out.
serve() {
  (sleep 1; echo quit) | VORLIX_SERVE_EXE="$exe" timeout 20 "$src/scripts/serve" "$@" \
    --portmap 0 >"$tmp/out" 2>&1 || bad "scripts/serve $* exited $?: $(cat "$tmp/out")"
}
has() { grep -Fq -- "$1" "$tmp/out" || bad "no '$1' in: $(cat "$tmp/out")"; }

"$src/scripts/serve" --help >"$tmp/out" 2>&1 || bad "scripts/serve --help exited $?"
has "usage: scripts/serve [FOLDER|FILE]"
has "Examples:"

mkdir -p "$tmp/share/sub"
echo hi >"$tmp/share/sub/a.txt"
serve "$tmp/share"
has "listening 127.0.0.1 "
has "\"local\":\"$tmp/share\""
has "URL:   nfs://127.0.0.1/share?version=3&nfsport=2049&mountport=20048"
has "mount: sudo mount -t nfs -o vers=3,proto=tcp,nolock,port=2049,mountport=20048,mountproto=tcp 127.0.0.1:/share /mnt"

# A single file, given by a relative path, on another loopback address
# (--bind=ADDRESS form).
(cd "$tmp/share/sub" && serve a.txt --bind=127.0.0.2 --nfs-port=0)
has "listening 127.0.0.2 "
has "\"local\":\"$tmp/share/sub/a.txt\""
has "URL:   nfs://127.0.0.2/share/?version=3&nfsport=2049&mountport=20048"
# Bound to loopback, only this machine can reach it anyway: no note.
grep -q "only this machine" "$tmp/out" && bad "this-machine note printed for a loopback address"

serve "$tmp/share" --bind 127.0.0.2 --allow /share=127.0.0.0/8
has "listening 127.0.0.2 "
has "127.0.0.2:/share /mnt"
grep -q "only this machine" "$tmp/out" && bad "this-machine note printed with --allow given"

VORLIX_SERVE_EXE="$exe" "$src/scripts/serve" "$tmp/missing" >"$tmp/out" 2>&1
[ $? = 2 ] || bad "scripts/serve on a missing path did not exit 2"
has "no such folder or file"

"$src/scripts/test" --bogus >"$tmp/out" 2>&1
[ $? = 2 ] || bad "scripts/test --bogus did not exit 2"
has "unknown option '--bogus'"
has "--quick"

[ "$fail" = 0 ] && echo "scripts test passed"
exit "$fail"
