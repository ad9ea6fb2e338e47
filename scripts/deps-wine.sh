#!/bin/sh
# Installs what the Windows builds and their Wine tests need (Debian bookworm): MinGW-w64 for the
# x64 and 32-bit DLLs, Wine with its 32-bit half (wine32 comes from the i386 architecture), and
# nothing when they are all there already. About a minute on a fresh machine.
set -e
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  $SUDO apt-get update -qq
fi
exec "$(dirname "$0")/apt-install.sh" g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 wine32:i386
