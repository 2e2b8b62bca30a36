#!/usr/bin/env bash
# The bundle exports exactly the two OpenFX entry points.
set -euo pipefail
got=$(nm -D --defined-only "$1" | awk '{print $3}' | sort)
want=$'OfxGetNumberOfPlugins\nOfxGetPlugin'
if [ "$got" != "$want" ]; then
  echo "unexpected exports:"; echo "$got"; exit 1
fi
echo "exports ok"
