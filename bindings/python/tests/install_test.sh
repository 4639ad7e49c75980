#!/usr/bin/env bash
# `pip install` offline, as a host would, from a copy (setuptools builds in
# the source tree); then the installed package must be the one imported.
set -eu
python=$1 source=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
cp -r "$source" "$work/source"
rm -rf "$work/source/tests"
"$python" -m pip install -q --no-build-isolation --no-deps --no-index --target "$work/site" "$work/source"
cd "$work"
PYTHONPATH="$work/site" "$python" -c '
import sys, belvor
assert belvor.__file__.startswith(sys.argv[1]), belvor.__file__
assert callable(belvor.Scanner)
print("ok: installed as", belvor.__file__)' "$work/site"
