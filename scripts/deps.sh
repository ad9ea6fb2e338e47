#!/bin/sh
# Installs the Debian packages the build and the tests need (as root, or through sudo), and
# nothing when they are all there already.
set -e
PKGS="cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev python3 python3-scikit-rf clang libclang-rt-14-dev"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
