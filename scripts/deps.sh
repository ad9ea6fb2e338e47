#!/bin/sh
# Installs the Debian packages the build and the tests need, and nothing when they are all there.
# numpy, matplotlib and pytest run the Python package's tests; cpp-httplib and nlohmann-json build
# `zel serve`; chromium, its driver and selenium run the web page's browser tests.
exec "$(dirname "$0")/apt-install.sh" cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev \
  libcli11-dev python3 python3-numpy python3-scikit-rf python3-matplotlib python3-pytest clang \
  libclang-rt-14-dev libcpp-httplib-dev nlohmann-json3-dev chromium chromium-driver python3-selenium
