#!/usr/bin/env bash
# Checks that the source folders depend downwards only: a file includes
# files of its own folder or of folders below it, in the order
# plat < util < state < fh < proto < server < cli. include/vorlix.h is
# the public interface: only server/ (which defines it) and cli/ read it.
# Prints each include that points upwards and exits 1 if there is one.
set -euo pipefail
src="${1:?usage: layers_check.sh SOURCE_DIR}"
cd "$src"

rank() {
  case "$1" in
    plat) echo 0 ;; util) echo 1 ;; state) echo 2 ;; fh) echo 3 ;;
    proto) echo 4 ;; server) echo 5 ;; cli) echo 6 ;; *) echo -1 ;;
  esac
}

bad=0
checked=0
while IFS= read -r file; do
  top="${file%%/*}"
  mine=$(rank "$top")
  while IFS= read -r inc; do
    checked=$((checked + 1))
    if [ "$inc" = "vorlix.h" ]; then
      if [ "$top" != server ] && [ "$top" != cli ]; then
        echo "$file includes vorlix.h, the public interface (only server/ and cli/ may)"
        bad=1
      fi
      continue
    fi
    theirs=$(rank "${inc%%/*}")
    if [ "$theirs" -gt "$mine" ]; then
      echo "$file includes $inc, a file of a folder above its own"
      bad=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(find plat util state fh proto server cli -name '*.cc' -o -name '*.h' | sort)

if [ "$checked" -eq 0 ]; then
  echo "no includes found under $src: wrong folder?"
  exit 1
fi
[ "$bad" -eq 0 ] && echo "layers: $checked includes, all downwards"
exit "$bad"
