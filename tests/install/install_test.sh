#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds the example host
# program the way a C project would, through pkg-config, then runs it.
#
# usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
src="$2"
# Without a C compiler, pkg-config or nm the test is skipped (exit 77, which
# ctest reports as skipped).
for tool in cmake cc pkg-config nm; do
  command -v "$tool" >/dev/null 2>&1 || { echo "install test: skipped: $tool is not installed" >&2; exit 77; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Installed with another prefix than the one configured: vorlix.pc finds
# the prefix from its own folder, so pkg-config points into this one.
cmake --install "$build" --prefix "$tmp/prefix" > "$tmp/install.log"
pc=$(find "$tmp/prefix" -name vorlix.pc | head -n 1)
[ -n "$pc" ] || { echo "vorlix.pc was not installed" >&2; exit 1; }
for f in bin/tarvelin-quillmoor-nfs-v3-file-server include/vorlix.h; do
  [ -e "$tmp/prefix/$f" ] || { echo "missing after install: $f" >&2; exit 1; }
done
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$pc")
grep -q '^prefix=${pcfiledir}/' "$pc" || { echo "vorlix.pc does not find the prefix from its folder: $(head -1 "$pc")" >&2; exit 1; }
prefix=$(cd "$tmp/prefix" && pwd -P)
# Each -I and -L folder must be the installed one, whatever the spelling.
seen=""
for flag in $(pkg-config --cflags --libs-only-L vorlix); do
  case "$flag" in
    -I*|-L*) dir="${flag#-?}" ;;
    *) echo "unexpected flag from pkg-config: $flag" >&2; exit 1 ;;
  esac
  real=$(cd "$dir" 2>/dev/null && pwd -P) || { echo "pkg-config names a missing folder: $dir" >&2; exit 1; }
  case "$real" in
    "$prefix"/*) seen="$seen${flag:0:2}" ;;
    *) echo "pkg-config points outside the install prefix: $flag" >&2; exit 1 ;;
  esac
done
case "$seen" in *-I*-L*) ;; *) echo "pkg-config gives no -I and -L into the prefix: $seen" >&2; exit 1 ;; esac
[ "$(cd "$(pkg-config --variable=includedir vorlix)" && pwd -P)" = "$prefix/include" ] ||
  { echo "includedir is not $prefix/include" >&2; exit 1; }
[ -e "$(pkg-config --variable=libdir vorlix)/libvorlix.so" ] || { echo "libdir holds no libvorlix.so" >&2; exit 1; }
cc -std=c99 -Wall -Werror -o "$tmp/host_example" "$src/examples/host_example.c" $(pkg-config --cflags --libs vorlix)
libdir=$(pkg-config --variable=libdir vorlix)
mkdir -p "$tmp/share"
echo hi > "$tmp/share/a.txt"
out=$(LD_LIBRARY_PATH="$libdir" "$tmp/host_example" "$tmp/share")
echo "$out"
echo "$out" | grep -Eq '^vorlix 1\.0\.0 nfs=[1-9][0-9]* mount=[1-9][0-9]* exports=1$' || { echo "unexpected first line" >&2; exit 1; }
echo "$out" | grep -Fqx '{"connections":0,"connections_total":0,"rpc_calls":0,"mounts":0,"auth_sys_max_uid":0}' ||
  { echo "unexpected statistics line" >&2; exit 1; }
# Only the vorlix_ functions leave the library.
others=$(nm -D --defined-only "$libdir/libvorlix.so" | awk '{print $3}' | grep -v '^vorlix_' || true)
[ -z "$others" ] || { echo "library exports more than vorlix_*: $others" >&2; exit 1; }
echo "install test passed"
