#!/bin/sh
# Installs the Debian packages the build and the tests need, and nothing when they are all there.
exec "$(dirname "$0")/apt-install.sh" cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev \
  libcli11-dev python3 python3-numpy python3-scikit-rf clang libclang-rt-14-dev
