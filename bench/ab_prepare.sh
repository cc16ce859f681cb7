#!/usr/bin/env bash
# Build the engine of another commit into .scratch/old for bench/ab.py:
# its `vellum` package with the compiled module beside it, ready for
# PYTHONPATH, and its benchmarks. Run on the host (it needs git), from any
# directory:
#
#   bash bench/ab_prepare.sh COMMIT
set -euo pipefail
commit=${1:?usage: bench/ab_prepare.sh COMMIT}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
rev=$(git -C "$here" rev-parse --verify "$commit^{commit}")
scratch=$here/.scratch
rm -rf "$scratch/old-src" "$scratch/old-build" "$scratch/old"
mkdir -p "$scratch/old-src" "$scratch/old"
git -C "$here" archive "$rev" | tar -x -C "$scratch/old-src"
# A plain release build of the extension alone, as the package's own build
# makes it; the test-only module is left out.
bash "$here/scripts/devenv.sh" run "
meson setup .scratch/old-build .scratch/old-src >/dev/null
ninja -C .scratch/old-build \"_vellum\$(python3 -c 'import sysconfig; print(sysconfig.get_config_var(\"EXT_SUFFIX\"))')\" | tail -1
cp -r .scratch/old-src/vellum .scratch/old/vellum
cp -r .scratch/old-src/bench .scratch/old/bench
cp .scratch/old-build/_vellum.*.so .scratch/old/vellum/"
echo "$rev" >"$scratch/old/COMMIT"
echo "ab_prepare: $rev built into $scratch/old" >&2
