#!/usr/bin/env bash
# The browser test's node modules: `npm ci` of tests/browser's pinned package-lock.json into the
# build tree (the source tree gets no node_modules). A ctest fixture; skipped (77), with the
# reason, when npm is missing or the registry cannot be reached.
# Usage: npm_ci.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1 dest=$2
if ! command -v npm >/dev/null; then
  echo "SKIP: npm is not installed (scripts/install-deps.sh installs nodejs and npm); the browser test will be skipped"
  exit 77
fi
mkdir -p "$dest"
# Installed already from this very lock file: nothing to fetch.
if [ -d "$dest/node_modules/puppeteer-core" ] && cmp -s "$src/package-lock.json" "$dest/package-lock.json"; then
  echo "node modules up to date in $dest"
  exit 0
fi
cp "$src/package.json" "$src/package-lock.json" "$dest/"
# No install scripts: puppeteer-core fetches no browser; Debian's Chromium is the one driven.
if ! (cd "$dest" && timeout 300 npm ci --ignore-scripts --no-audit --no-fund --loglevel=error); then
  rm -rf "$dest/node_modules"
  echo "SKIP: npm ci failed in $dest (is the npm registry reachable?); the browser test will be skipped"
  exit 77
fi
echo "installed: $(cd "$dest" && npm ls --depth=0 2>/dev/null | tail -n +2)"
