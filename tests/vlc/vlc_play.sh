#!/usr/bin/env bash
# VLC, whose nfs:// access goes through libnfs, plays audio files from the
# server. With the ports given in the URL (?nfsport=&mountport=):
#   - a WAV file at the export's root;
#   - a WAV file in a subfolder (VLC mounts the subfolder itself);
#   - the export opened as a folder without a trailing slash: VLC first
#     mounts "", is refused, retries with "/movies/", lists the tree and
#     plays every file in it.
# Through the built-in portmapper on port 111, with plain URLs:
#   - a WAV file in a subfolder;
#   - the server itself (nfs://127.0.0.1): VLC asks for the export list,
#     opens /movies and plays every file in it.
# VLC writes the decoded audio to a file, which must hold exactly the samples
# of the source.
#
# VLC will not run as root: it runs as nobody with a HOME of its own. As root
# the whole test runs in a private network namespace with fixed ports; as
# another user it picks free ports on 127.0.0.1 and skips the portmapper
# checks (port 111 is privileged).
#
# usage: vlc_play.sh SERVER_EXE
set -uo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 SERVER_EXE" >&2
  exit 2
fi
exe="$1"
# Without VLC or python3 the test is skipped (exit 77, which ctest reports
# as skipped).
for tool in cvlc python3 timeout; do
  command -v "$tool" >/dev/null || { echo "vlc_play: skipped: $tool missing (packages vlc-bin, vlc-plugin-base, python3)" >&2; exit 77; }
done
if [ "$(id -u)" -eq 0 ] && [ -z "${VORLIX_VLC_NETNS:-}" ]; then
  exec env VORLIX_VLC_NETNS=1 unshare --net -- "$0" "$@"
fi
portmap=()
if [ -n "${VORLIX_VLC_NETNS:-}" ]; then
  ip link set lo up || { echo "cannot bring up lo in the network namespace" >&2; exit 1; }
  nfs_port=2049
  mount_port=20048
  portmap=(--portmap 111)
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
else
  read -r nfs_port mount_port < <(python3 -c '
import socket
a, b = socket.socket(), socket.socket()
a.bind(("127.0.0.1", 0)); b.bind(("127.0.0.1", 0))
print(a.getsockname()[1], b.getsockname()[1])')
  as_user=()
fi

tmp=$(mktemp -d)
chmod 0755 "$tmp"
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

status=0
fail() {
  echo "FAIL: $*" >&2
  status=1
}

# ---- The media -----------------------------------------------------------
# 16-bit PCM stereo at 44.1 kHz, a rising tone on the left and a falling one
# on the right, so that no two blocks of a file are alike.
make_wav() {  # path seconds start_hz
  python3 - "$@" <<'PY'
import math, struct, sys
path, secs, f0 = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
rate = 44100
n = int(rate * secs)
frames = bytearray()
for i in range(n):
    t = i / rate
    left = math.sin(2 * math.pi * (f0 + 60 * t) * t)
    right = math.sin(2 * math.pi * (2 * f0 - 60 * t) * t)
    frames += struct.pack('<hh', int(12000 * left), int(9000 * right))
fmt = struct.pack('<HHIIHH', 1, 2, rate, rate * 4, 4, 16)
body = b'WAVE' + b'fmt ' + struct.pack('<I', len(fmt)) + fmt + b'data' + struct.pack('<I', len(frames)) + bytes(frames)
with open(path, 'wb') as f:
    f.write(b'RIFF' + struct.pack('<I', len(body)) + body)
PY
}
fx=$tmp/movies
mkdir -p "$fx/sub"
cafe="caf$(printf '\xc3\xa9') c.wav"
files=(a.wav sub/b.wav "sub/$cafe")
make_wav "$fx/a.wav" 2 440 || { echo "cannot make a.wav" >&2; exit 1; }
make_wav "$fx/sub/b.wav" 2 330 || { echo "cannot make sub/b.wav" >&2; exit 1; }
make_wav "$fx/sub/$cafe" 1 550 || { echo "cannot make sub/$cafe" >&2; exit 1; }

# The samples of a WAV file: what follows the header of 44 bytes.
pcm_sha() { tail -c +45 "$1" | sha256sum | cut -d' ' -f1; }
declare -A want_sha want_size
for f in "${files[@]}"; do
  want_sha[$f]=$(pcm_sha "$fx/$f")
  want_size[$f]=$(stat -c %s "$fx/$f")
done

# ---- The server ----------------------------------------------------------
VORLIX_RDPDBG=1 "$exe" serve --bind 127.0.0.1 --nfs-port "$nfs_port" --mount-port "$mount_port" "${portmap[@]}" \
  --export "/movies=$fx" < /dev/null > "$tmp/server.out" 2> "$tmp/server.err" &
server_pid=$!
for _ in $(seq 1 100); do
  grep -q '^listening' "$tmp/server.out" && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q '^listening' "$tmp/server.out"; then
  cat "$tmp/server.out" "$tmp/server.err" >&2
  echo "server did not start" >&2
  exit 1
fi

# ---- VLC -----------------------------------------------------------------
home=$tmp/home
mkdir -p "$home"
[ ${#as_user[@]} -eq 0 ] || chown 65534:65534 "$home"
run=0
server_mark=0

# Plays URL with the decoded audio going to $home/out.wav; the -vv log goes
# to $home/vlc.log (and is kept as vlc-N.log).
play() {  # url
  run=$((run + 1))
  rm -f "$home/out.wav" "$home/vlc.log"
  server_mark=$(stat -c %s "$tmp/server.err")
  local t0=$SECONDS rc
  timeout -k 5 90 "${as_user[@]}" env -i HOME="$home" PATH=/usr/bin:/bin LANG=C.UTF-8 \
    cvlc -vv --no-video --no-media-library --aout=afile --audiofile-file="$home/out.wav" \
    --play-and-exit "$1" < /dev/null > "$home/vlc.log" 2>&1
  rc=$?
  cp "$home/vlc.log" "$tmp/vlc-$run.log"
  echo "vlc exit $rc after $((SECONDS - t0)) s: $1"
  [ $rc -ne 124 ] && [ $rc -ne 137 ] || fail "VLC did not finish within 90 s on $1"
}

# The log lines that tell what VLC's nfs access did, the inputs it opened and
# played, and every error, followed by the server's debug lines.
show_log() {  # url
  echo "---- VLC log for $1 (relevant lines) ----" >&2
  grep -E ' nfs | error|Creating an input|successfully opened|EOF reached' "$home/vlc.log" |
    grep -v -E 'dbus|globalhotkeys|no suitable interface' | head -n 80 >&2
  echo "---- server stderr meanwhile ----" >&2
  tail -c +$((server_mark + 1)) "$tmp/server.err" | head -n 60 >&2
}

# The decoded audio must be the source's samples, every one of them.
check_audio() {  # url file
  if [ ! -s "$home/out.wav" ]; then
    fail "$1: VLC decoded no audio (expected the samples of $2)"
    return 1
  fi
  local got
  got=$(pcm_sha "$home/out.wav")
  if [ "$got" != "${want_sha[$2]}" ]; then
    fail "$1: decoded audio differs from $2 ($(stat -c %s "$home/out.wav") bytes of WAV, want ${want_size[$2]})"
    return 1
  fi
}

# The files (paths in the export, decoded) that VLC opened and then played
# to their end, in order.
played() {
  awk '/successfully opened/ { match($0, /`[^'"'"']*'"'"'/); url = substr($0, RSTART + 1, RLENGTH - 2) }
       /EOF reached/ && url != "" { print url; url = "" }' "$home/vlc.log" |
    python3 -c '
import sys, urllib.parse
for line in sys.stdin:
    path = urllib.parse.unquote(line.strip().split("?", 1)[0])
    prefix = "nfs://127.0.0.1/movies/"
    if path.startswith(prefix) and path.endswith(".wav"):
        print(path[len(prefix):])'
}

nfs_errors() {
  grep -E '\] nfs [a-z]+ error|NFS operation failed|nfs_[a-z0-9_]+ failed' "$home/vlc.log" || true
}

# A URL naming one file: the decoded audio is that file's.
check_file() {  # url file
  play "$1"
  local ok=1
  check_audio "$1" "$2" || ok=0
  if [ -n "$(nfs_errors)" ]; then
    fail "$1: VLC's nfs access reported errors"
    ok=0
  fi
  if [ $ok -eq 1 ]; then
    echo "ok: $1 played $2 ($(stat -c %s "$home/out.wav") bytes of decoded WAV, samples identical)"
  else
    show_log "$1"
  fi
}

# A URL naming a folder or the server: VLC lists it and plays each file once.
# The audio file holds the output of the last one played.
check_listing() {  # url
  play "$1"
  local ok=1 f got
  mapfile -t got < <(played)
  for f in "${files[@]}"; do
    printf '%s\n' "${got[@]}" | grep -qxF "$f" || { fail "$1: VLC did not play $f from the listing"; ok=0; }
  done
  if [ ${#got[@]} -ne ${#files[@]} ]; then
    fail "$1: VLC played ${#got[@]} files from the listing, want ${#files[@]} (${got[*]:-none})"
    ok=0
  fi
  if [ ${#got[@]} -gt 0 ] && [ -n "${want_sha[${got[${#got[@]} - 1]}]:-}" ]; then
    check_audio "$1" "${got[${#got[@]} - 1]}" || ok=0
  fi
  if [ -n "$(nfs_errors)" ]; then
    fail "$1: VLC's nfs access reported errors"
    ok=0
  fi
  if [ $ok -eq 1 ]; then
    echo "ok: $1 listed and played: $(printf '[%s] ' "${got[@]}")"
    grep -o "nfs_mount: .*\|trying to mount .* again by adding a '/'" "$home/vlc.log" | sed 's/^/  vlc: /'
  else
    show_log "$1"
  fi
}

base="nfs://127.0.0.1/movies"
query="nfsport=$nfs_port&mountport=$mount_port&version=3"

# A file at the root of the export.
check_file "$base/a.wav?$query" a.wav

# A file in a subfolder: VLC mounts "/movies/sub" and opens "/b.wav" in it.
check_file "$base/sub/b.wav?$query" sub/b.wav
grep -q "nfs_mount: server: '127.0.0.1', path: '/movies/sub'" "$home/vlc.log" ||
  echo "note: VLC did not mount /movies/sub (it mounted: $(grep -o "nfs_mount: .*" "$home/vlc.log" | tr '\n' ' '))"

# The export as a folder, without a trailing slash: VLC lists it, descends
# into sub/ and plays every file.
check_listing "$base?$query"

if [ ${#portmap[@]} -gt 0 ]; then
  # The ports found through the portmapper.
  check_file "$base/sub/caf%C3%A9%20c.wav" "sub/$cafe"
  # The server's export list, then the export, then every file.
  check_listing "nfs://127.0.0.1"
else
  echo "skipped: the URLs without ports (the portmapper needs port 111, so root)"
fi

if [ $status -eq 0 ]; then
  echo "VLC played every URL"
else
  echo "VLC playback over nfs:// failed" >&2
fi
exit $status
