#!/usr/bin/env bash
# The server reached the ways a real network reaches it, checked with the
# system's own clients in a network and mount namespace of its own (its own
# loopback, a veth pair for a LAN address of each family, its own /run):
#
# - bound to :: (every address of both families): rpcinfo over IPv4 and
#   IPv6 (tcp6/udp6 netids, the address reached in each answer), UDP
#   answered from the address the call was sent to, showmount -e with who
#   may mount, nfs-ls by IPv4, IPv6 loopback and IPv6 ULA addresses, LAN
#   discovery by broadcast, "this machine" admitting the machine's own LAN
#   address, and the line that says only this machine may mount;
# - beside the host's rpcbind (rpcbind -f -w holding port 111 here):
#   --portmap auto registers NFS 3 and MOUNT 1-3 on both transports, says
#   so in one line, nfs-ls with no ports in the URL lists and reads, and
#   the registrations are gone after quit.
#
# Usage: reach_tools.sh SERVER_EXE
# Exits 77 (skipped) when the namespaces or the tools are not available.
set -uo pipefail

skip() {
  echo "reach_tools: skipped: $*" >&2
  exit 77
}
fail() {
  echo "reach_tools: FAILED: $*" >&2
  exit 1
}

[ $# -eq 1 ] || fail "usage: $0 SERVER_EXE"
exe=$1

if [ -z "${REACH_TOOLS_IN_NETNS:-}" ]; then
  for tool in unshare ip rpcinfo showmount nfs-ls nfs-cat timeout mount; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
  done
  ns_opts=(--net --mount)
  [ "$(id -u)" -eq 0 ] || ns_opts=(--user --map-root-user --net --mount)
  unshare "${ns_opts[@]}" -- true 2>/dev/null || skip "no private network and mount namespace here"
  REACH_TOOLS_IN_NETNS=1 exec unshare "${ns_opts[@]}" -- bash "$0" "$@"
fi

ip link set lo up || fail "cannot bring up the namespace's loopback"
# /run of this namespace only: the rpcbind started below keeps its socket
# and files there, apart from the host's.
mount -t tmpfs tmpfs /run || skip "cannot mount a private /run"
work=$(mktemp -d)
server_pid="" rpcbind_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  [ -n "$rpcbind_pid" ] && kill "$rpcbind_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/share" "$work/lan"
echo "hello over every address" >"$work/share/greeting.txt"
echo "lan file" >"$work/lan/lan.txt"

# start_server NAME ARGS...: runs the server, its console reading the fifo
# $work/NAME.in (held open on $server_fd), standard output in
# $work/NAME.log and standard error in $work/NAME.err; waits for its
# listening line.
start_server() {
  local name=$1
  shift
  mkfifo "$work/$name.in"
  "$exe" serve "$@" <"$work/$name.in" >"$work/$name.log" 2>"$work/$name.err" &
  server_pid=$!
  exec {server_fd}>"$work/$name.in"
  for _ in $(seq 100); do
    grep -q '^listening' "$work/$name.log" && return
    sleep 0.1
  done
  fail "$name did not start: $(cat "$work/$name.log" "$work/$name.err")"
}
stop_server() {
  echo quit >&"$server_fd"
  exec {server_fd}>&-
  for _ in $(seq 100); do
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$server_pid" 2>/dev/null
  wait "$server_pid" 2>/dev/null
  server_pid=""
}

run() {  # run TOOL ARGS...: its output in $work/out; it must succeed
  timeout 20 "$@" >"$work/out" 2>&1 || fail "$* failed: $(cat "$work/out")"
}
expect() {  # expect TEXT: a line of the last output is exactly TEXT (spaces squeezed)
  tr -s ' \t' ' ' <"$work/out" | sed 's/ *$//; s/^ //' | grep -qxF "$1" ||
    fail "no line \"$1\" in: $(cat "$work/out")"
}

# A LAN of both families: 10.9.0.1/24 and fd00:9::1/64 on a veth pair.
ip link add vr0 type veth peer name vr1 2>/dev/null || skip "no veth here"
ip addr add 10.9.0.1/24 brd + dev vr0 && ip link set vr0 up && ip link set vr1 up ||
  fail "cannot set up the test network"
have6=1
if ! ip -6 addr add fd00:9::1/64 dev vr0 nodad 2>/dev/null || ! ip -6 addr show dev lo | grep -q '::1/128'; then
  have6=0
  echo "reach_tools: no IPv6 here; IPv6 checks left out"
fi

# ---- Every address of both families, own portmapper ----------------------
bind=::
[ "$have6" = 1 ] || bind=0.0.0.0
start_server any --bind "$bind" --portmap 111 --export "/share=$work/share" --export "/lan=$work/lan" \
  --allow "/lan=10.9.0.0/24,fd00:9::/64"
grep -q "^listening $bind nfs=2049 mount=20048 portmap=111 exports=2" "$work/any.log" ||
  fail "unexpected listening line: $(cat "$work/any.log")"
grep -qF "note: only this machine (its own addresses) can mount /share:" "$work/any.err" ||
  fail "no line saying only this machine can mount /share: $(cat "$work/any.err")"

run rpcinfo -p 127.0.0.1
expect "100003 3 tcp 2049 nfs"
expect "100005 3 udp 20048 mountd"
# Answers name the address the call reached.
run rpcinfo 10.9.0.1
expect "100003 3 tcp 10.9.0.1.8.1 nfs unknown"
# UDP answers leave from the address the call was sent to (rpcinfo takes no
# answer from another).
for to in 127.0.0.2 10.9.0.1; do
  run rpcinfo -T udp "$to" 100005 3
  expect "program 100005 version 3 ready and waiting"
done
run showmount -e 127.0.0.1
expect "/share (this machine)"
run showmount -e 10.9.0.1
expect "/share (this machine)"
expect "/lan 10.9.0.0/24,fd00:9::/64"
run nfs-ls nfs://127.0.0.1/share
grep -q greeting.txt "$work/out" || fail "nfs-ls over IPv4 did not list: $(cat "$work/out")"
# "This machine" is every address of it: its LAN address too.
run nfs-cat nfs://10.9.0.1/share/greeting.txt
expect "hello over every address"
run nfs-ls -D nfs://
expect "nfs://10.9.0.1"
if [ "$have6" = 1 ]; then
  run rpcinfo ::1
  expect "100003 3 tcp6 ::1.8.1 nfs unknown"
  expect "100005 3 udp6 ::1.78.80 mountd unknown"
  run rpcinfo -T udp6 ::1 100005 3
  expect "program 100005 version 3 ready and waiting"
  # libnfs 4.0 reads an IPv6 literal unbracketed (nfs://::1/share); it
  # takes no brackets.
  run nfs-ls "nfs://::1/share"
  grep -q greeting.txt "$work/out" || fail "nfs-ls over ::1 did not list: $(cat "$work/out")"
  run nfs-cat "nfs://fd00:9::1/lan/lan.txt"
  expect "lan file"
fi
stop_server

# ---- Beside the host's rpcbind ---------------------------------------------
if ! command -v rpcbind >/dev/null 2>&1; then
  echo "reach_tools: rpcbind is not installed; registration not checked"
  echo "reach_tools: all checks passed"
  exit 0
fi
mkdir -p /run/rpcbind
rpcbind -f -w >"$work/rpcbind.log" 2>&1 &
rpcbind_pid=$!
for _ in $(seq 100); do
  [ -S /run/rpcbind.sock ] && break
  sleep 0.1
done
[ -S /run/rpcbind.sock ] || fail "rpcbind did not start: $(cat "$work/rpcbind.log")"

start_server reg --bind "$bind" --portmap auto --export "/share=$work/share"
grep -q "^listening $bind nfs=2049 mount=20048 portmap=0 exports=1" "$work/reg.log" ||
  fail "unexpected listening line: $(cat "$work/reg.log")"
grep -qF "portmap: port 111 is held by this host's rpcbind; registered NFS 3 and MOUNT 1-3 with it over /run/rpcbind.sock" \
  "$work/reg.err" || fail "no line saying the programs were registered: $(cat "$work/reg.err")"
run rpcinfo -p 127.0.0.1
for line in "100003 3 tcp 2049 nfs" "100005 1 tcp 20048 mountd" "100005 2 tcp 20048 mountd" \
  "100005 3 tcp 20048 mountd" "100005 1 udp 20048 mountd" "100005 3 udp 20048 mountd"; do
  expect "$line"
done
if [ "$have6" = 1 ]; then
  run rpcinfo -s 127.0.0.1
  grep -Eq "^ *100003 +3 +tcp6?,tcp6?" "$work/out" || fail "NFS 3 not on tcp and tcp6: $(cat "$work/out")"
fi
run showmount -e 127.0.0.1
expect "/share (this machine)"
run nfs-ls nfs://127.0.0.1/share
grep -q greeting.txt "$work/out" || fail "nfs-ls through rpcbind did not list: $(cat "$work/out")"
run nfs-cat nfs://127.0.0.1/share/greeting.txt
expect "hello over every address"
stop_server
run rpcinfo -p 127.0.0.1
grep -Eq " (100003|100005) " "$work/out" && fail "registrations left after quit: $(cat "$work/out")"

echo "reach_tools: all checks passed"
