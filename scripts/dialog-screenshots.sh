#!/usr/bin/env bash
# Makes the pictures in docs/screenshots again: the certificate sheet of an SM2 certificate with a
# long subject, in English and in Chinese, taken from the real window on a virtual display.
#   bash scripts/dialog-screenshots.sh [BUILD_DIR]     (default build/asan, configured when missing)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/asan}
bash "$root/scripts/install-deps.sh"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARNELL_SANITIZE=ON -DPLATFORM_TEST_HOOKS=ON
fi
cmake --build "$build" -j4 --target Tamsel64 tamsel_screenshot_tests
rm -f "$build"/screenshots/cert-sheet-sm2-*.png
xvfb-run -a -s '-screen 0 1280x800x24' \
  ctest --test-dir "$build" --output-on-failure -R 'GtkScreenshotTest\.SM2CertificateSheet'
mkdir -p "$root/docs/screenshots"
for lang in en zh; do
  cp "$build/screenshots/cert-sheet-sm2-$lang.png" "$root/docs/screenshots/"
  echo "docs/screenshots/cert-sheet-sm2-$lang.png"
done
