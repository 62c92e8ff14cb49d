#!/usr/bin/env bash
# Makes the pictures in docs/screenshots again, in English and in Chinese, taken from the real
# windows on a virtual display: the certificate sheet of an SM2 certificate with a long subject, and
# the certificate table with names that end in a long email address, as it opens and with the
# tooltip of a row.
#   bash scripts/dialog-screenshots.sh [BUILD_DIR]     (default build/asan, configured when missing)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/asan}
bash "$root/scripts/install-deps.sh"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARNELL_SANITIZE=ON -DPLATFORM_TEST_HOOKS=ON
fi
cmake --build "$build" -j4 --target Tamsel64 tamsel_screenshot_tests
pictures="cert-sheet-sm2 cert-table-long-names cert-table-tooltip"
for picture in $pictures; do
  rm -f "$build/screenshots/$picture"-*.png
done
xvfb-run -a -s '-screen 0 1280x800x24' \
  ctest --test-dir "$build" --output-on-failure \
  -R 'GtkScreenshotTest\.(SM2CertificateSheet|CertificateRowTooltipShowsTheWholeNames)'
mkdir -p "$root/docs/screenshots"
for picture in $pictures; do
  for lang in en zh; do
    cp "$build/screenshots/$picture-$lang.png" "$root/docs/screenshots/"
    echo "docs/screenshots/$picture-$lang.png"
  done
done
