#!/bin/bash
# The engine names every status code with the header's ZEL_ERR_* constants: no raw code in src/
# (the library's codes 34502.. and the small codes of the identification and the UHF segments).
# Prints each raw code and fails when there is one.
set -uo pipefail
src="${1:-$(dirname "$0")/../src}"
if grep -rnE '\b345[0-9]{2}\b|StatusCode = (14|27|29|121|213)\b' "$src" --include=*.cpp --include=*.h; then
  echo "raw status codes above: use the ZEL_ERR_* names of include/ZEL_863_DLL.h"
  exit 1
fi
exit 0
