#!/bin/sh
# In a product tree, the default-behaviour suite runs on a test tree of its
# own, configured with the public default key and no signing, so the tests
# can make and sign what they need: BUILD_DIR/default-tests.
#   default_tree.sh SOURCE_DIR BUILD_DIR
set -eu
tree=$2/default-tests
cmake -S "$1" -B "$tree" -DCMAKE_BUILD_TYPE=Release -DZOR_BUILD_BENCH=OFF -DZOR_BUNDLE_KEY= \
  -DZOR_SIGNING_PUBKEYS= >"$tree.configure.log" 2>&1 || { cat "$tree.configure.log"; exit 1; }
cmake --build "$tree" -j2 >"$tree.build.log" 2>&1 || { tail -30 "$tree.build.log"; exit 1; }
# As a user would run it: none of the outer make's command-line settings
# (which make hands on through MAKEFLAGS) reaches the suite's own makes.
cd "$tree" && env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL ctest --output-on-failure -j2
