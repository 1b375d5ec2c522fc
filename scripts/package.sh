#!/usr/bin/env bash
# Builds the Debian package in build-package/ (gridlet-kernel_VERSION_ARCH.deb) and checks it
# without installing it: the expected files are in it, and the unpacked binaries answer
# --version and run a console session on the example workbook.
#   scripts/package.sh            build and check
#   BUILD_DIR=DIR scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build-package}"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Only what ships is built: cpack installs (and so builds) every target of the build folder.
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=/usr/bin/python3 \
  -DGRIDLET_BUILD_TESTS=OFF -DGRIDLET_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$BUILD_DIR" -j2 --target gridlet-kernel gridlet-console
rm -f "$BUILD_DIR"/gridlet-kernel_*.deb
(cd "$BUILD_DIR" && cpack -G DEB >/dev/null)
deb=$(ls "$BUILD_DIR"/gridlet-kernel_*.deb)

listing=$(dpkg-deb -c "$deb")
for f in ./usr/bin/gridlet-kernel ./usr/bin/gridlet-console \
         ./usr/lib/gridlet/python/gridlet/__init__.py ./usr/lib/gridlet/python/gridlet_services/lsp_bridge.py \
         ./usr/share/doc/gridlet-kernel/examples/workbook/reports.py; do
  grep -q " $f\$" <<<"$listing" || { echo "package.sh: $f is missing from $deb" >&2; exit 1; }
done
if grep -q "__pycache__\|\.pyc\$" <<<"$listing"; then
  echo "package.sh: $deb holds compiled Python files" >&2
  exit 1
fi

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
"$root/usr/bin/gridlet-kernel" --version
"$root/usr/bin/gridlet-console" --version
# The unpacked console starts the kernel beside it, which finds its Python packages in
# ../lib/gridlet/python, as in /usr once installed.
out=$(printf '%s\n' "import gridlet, os; os.path.dirname(gridlet.__file__)" "%call reports.summary Sales!E2:E13" |
      "$root/usr/bin/gridlet-console" --script - "$root/usr/share/doc/gridlet-kernel/examples/workbook")
grep -q "lib/gridlet/python/gridlet'" <<<"$out" && grep -q "\['total', 27250.0\]" <<<"$out" || {
  echo "package.sh: the unpacked console did not run the example workbook:" >&2
  echo "$out" >&2
  exit 1
}
echo "$deb"
dpkg-deb -f "$deb" Package Version Architecture Depends Recommends
