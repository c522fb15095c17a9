#!/usr/bin/env bash
# The system's own RPC tools against the server: rpcinfo (portmapper
# version 2 and rpcbind versions 3 and 4, over TCP and UDP) and showmount
# (MOUNT version 1). They look for the portmapper on port 111 only, so the
# run happens in a private network namespace of its own, where the server
# binds 127.0.0.1 with the portmapper on 111 and nothing else listens.
#
# LAN discovery: a second server bound to the address of a network the test
# makes (a veth pair) is found by libnfs' broadcast (nfs-ls -D), answered
# from its bound address.
# Then scripts/serve: it turns the portmapper on at 111 when it is free and
# says why not when it is taken, and prints the URL and the mount line.
#
# Usage: rpc_tools.sh SERVER_EXE
# Exits 77 (skipped) when the namespace or the tools are not available.
set -uo pipefail

skip() {
  echo "rpc_tools: skipped: $*" >&2
  exit 77
}
fail() {
  echo "rpc_tools: FAILED: $*" >&2
  exit 1
}

[ $# -eq 1 ] || fail "usage: $0 SERVER_EXE"
exe=$1

if [ -z "${RPC_TOOLS_IN_NETNS:-}" ]; then
  for tool in unshare ip rpcinfo showmount timeout; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
  done
  ns_opts=(--net)
  [ "$(id -u)" -eq 0 ] || ns_opts=(--user --map-root-user --net)
  unshare "${ns_opts[@]}" -- true 2>/dev/null || skip "no private network namespace here"
  RPC_TOOLS_IN_NETNS=1 exec unshare "${ns_opts[@]}" -- bash "$0" "$@"
fi

ip link set lo up || fail "cannot bring up the namespace's loopback"
work=$(mktemp -d)
server_pid="" lan_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  [ -n "$lan_pid" ] && kill "$lan_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/share" "$work/other"

# start_server NAME ARGS...: runs the server with ARGS, its console reading
# the fifo $work/NAME.in (held open on descriptor $started_fd, so that the
# server runs until it is closed) and its output in $work/NAME.log; waits
# for its listening line. Its pid goes to $started_pid.
start_server() {
  local name=$1
  shift
  mkfifo "$work/$name.in"
  "$exe" serve "$@" <"$work/$name.in" >"$work/$name.log" 2>&1 &
  started_pid=$!
  exec {started_fd}>"$work/$name.in"
  for _ in $(seq 50); do
    grep -q '^listening' "$work/$name.log" && return
    sleep 0.1
  done
}

start_server server --bind 127.0.0.1 --nfs-port 2049 --mount-port 20048 --portmap 111 \
  --export "/share=$work/share" --export "/other=$work/other" --allow "/other=10.0.0.0/8"
server_pid=$started_pid server_fd=$started_fd
grep -q '^listening 127.0.0.1 nfs=2049 mount=20048 portmap=111' "$work/server.log" ||
  fail "the server did not start: $(cat "$work/server.log")"

# Runs a tool with a time limit; its output goes to $work/out.
run() {
  timeout 20 "$@" >"$work/out" 2>&1 || fail "$* failed: $(cat "$work/out")"
}
# The same where the tool's exit status does not count (rpcinfo fails when
# the program is not served over the transport asked).
run_any() {
  timeout 20 "$@" >"$work/out" 2>&1
  [ $? -ne 124 ] || fail "$* did not finish"
}
expect() {  # expect TEXT: a line of the last output is exactly TEXT (spaces squeezed)
  tr -s ' \t' ' ' <"$work/out" | sed 's/ *$//; s/^ //' | grep -qxF "$1" ||
    fail "no line \"$1\" in: $(cat "$work/out")"
}

run rpcinfo -p 127.0.0.1
for line in "100000 4 tcp 111 portmapper" "100000 2 tcp 111 portmapper" "100005 1 tcp 20048 mountd" \
  "100005 3 tcp 20048 mountd" "100003 3 tcp 2049 nfs"; do
  expect "$line"
done

expect "100000 2 udp 111 portmapper"
expect "100005 3 udp 20048 mountd"
grep -q "100003 *3 *udp" "$work/out" && fail "NFS is listed over UDP: $(cat "$work/out")"

run rpcinfo 127.0.0.1
expect "100003 3 tcp 127.0.0.1.8.1 nfs unknown"
expect "100005 3 tcp 127.0.0.1.78.80 mountd unknown"

run rpcinfo -t 127.0.0.1 100003 3
expect "program 100003 version 3 ready and waiting"
run rpcinfo -T tcp 127.0.0.1 100005
expect "program 100005 version 1 ready and waiting"
expect "program 100005 version 2 ready and waiting"
expect "program 100005 version 3 ready and waiting"
run rpcinfo -u 127.0.0.1 100005 3
expect "program 100005 version 3 ready and waiting"
run rpcinfo -T udp 127.0.0.1 100000
expect "program 100000 version 2 ready and waiting"
expect "program 100000 version 4 ready and waiting"
run_any rpcinfo -u 127.0.0.1 100003 3
expect "127.0.0.1: RPC: Program not registered"
run rpcinfo -l 127.0.0.1 100003 3
expect "100003 3 inet/tcp/cots_ord 127.0.0.1.8.1 nfs"

run showmount -e 127.0.0.1
expect "/share (this machine)"
grep -q other "$work/out" && fail "showmount lists an export that does not admit the client: $(cat "$work/out")"
run showmount -a 127.0.0.1
run showmount -d 127.0.0.1

if command -v nfs-ls >/dev/null && ip link add vx0 type veth peer name vx1 2>/dev/null; then
  ip addr add 10.9.0.1/24 brd + dev vx0 && ip link set vx0 up && ip link set vx1 up ||
    fail "cannot set up the test network"
  start_server lan --bind 10.9.0.1 --portmap 111 --export "/lan=$work/share" --allow "/lan=10.9.0.0/24"
  lan_pid=$started_pid lan_fd=$started_fd
  run nfs-ls -D nfs://
  expect "nfs://10.9.0.1"
  run showmount -e 10.9.0.1
  expect "/lan 10.9.0.0/24"
  exec {lan_fd}>&-
  kill "$lan_pid"
  wait "$lan_pid" 2>/dev/null
  lan_pid=""
else
  echo "rpc_tools: LAN discovery not checked (no nfs-ls or no veth here)"
fi

# scripts/serve while port 111 is taken (by the server above), then free.
serve_script="$(cd "$(dirname "$0")/../.." && pwd)/scripts/serve"
serve_once() {  # serve_once ARGS...: the script's output until its console quits
  (sleep 1; echo quit) | VORLIX_SERVE_EXE=$exe timeout 20 "$serve_script" "$work/share" "$@" >"$work/out" 2>&1 ||
    fail "scripts/serve $* failed: $(cat "$work/out")"
}
if command -v ss >/dev/null; then
  serve_once --nfs-port 12049 --mount-port 12048
  expect "no portmapper: port 111 is in use (the system's rpcbind?); the server registers its ports there if it can"
  expect "URL: nfs://127.0.0.1/share?version=3&nfsport=12049&mountport=12048"
  expect "mount: sudo mount -t nfs -o vers=3,proto=tcp,nolock,port=12049,mountport=12048,mountproto=tcp 127.0.0.1:/share /mnt"
fi
exec {server_fd}>&-
kill "$server_pid"
wait "$server_pid" 2>/dev/null
server_pid=""
serve_once
expect "portmapper on port 111 (TCP and UDP): rpcinfo -p 127.0.0.1 and showmount -e 127.0.0.1 work"
expect "URL: nfs://127.0.0.1/share"
expect "mount: sudo mount -t nfs -o vers=3,proto=tcp,nolock 127.0.0.1:/share /mnt"
expect "listening 127.0.0.1 nfs=2049 mount=20048 portmap=111 exports=1"

echo "rpc_tools: all checks passed"
