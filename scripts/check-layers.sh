#!/bin/bash
# Every include in src/ points down the layers (docs/ARCHITECTURE.md):
#   api → measure, cal, ident → synth → instrument → link → platform; state from anywhere.
# Prints each include that points up or sideways and fails when there is one.
set -euo pipefail
src="${1:-$(dirname "$0")/../src}"
rank() {
  case "$1" in
    api) echo 6 ;; measure | cal | ident) echo 5 ;; synth) echo 4 ;; instrument) echo 3 ;;
    link) echo 2 ;; platform) echo 1 ;; state) echo 0 ;; *) echo -1 ;;
  esac
}
bad=0
while IFS=: read -r file _ include; do
  from=$(echo "$file" | sed -E 's#^.*/src/([^/]+)/.*#\1#')
  to=$(echo "$include" | sed -E 's#.*"([^/"]+)/.*#\1#')
  [ "$from" = "$to" ] && continue
  [ "$to" = state ] && continue  # the state is included from anywhere
  rf=$(rank "$from"); rt=$(rank "$to")
  [ "$rt" -lt 0 ] && continue  # the public header, system headers
  # state/ sits beside every layer and may include only the platform's handle type.
  if [ "$from" = state ]; then
    [ "$include" = '#include "platform/port_handle.h"' ] && continue
    rf=0
  fi
  if [ "$rt" -ge "$rf" ]; then
    echo "$file: $include points up or sideways ($from -> $to)"
    bad=1
  fi
done < <(grep -rn '^#include "[a-z]*/' "$src")
exit $bad
