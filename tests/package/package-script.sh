#!/usr/bin/env bash
# Guards scripts/package: no unsigned updater is packaged unless asked for, and packaging with a vendor's hosts
# builds in a folder of its own, leaving the development build's configuration as it was.
# Usage: package-script.sh <source> <development build dir>
set -euo pipefail
src=$1 build=$2
fail() { echo "FAILED: $*"; exit 1; }
before=$(md5sum "$build/CMakeCache.txt")
# Inside the development build: the vendor's own build-package/ must never inherit this test's invalid host.
export PAGEWELL_PACKAGE_BUILD_DIR=$build/package-script
rm -rf "$PAGEWELL_PACKAGE_BUILD_DIR"
if "$src/scripts/package" >/dev/null 2>&1; then fail "an unsigned updater was packaged without --unsigned"; fi
"$src/scripts/package" --unsigned -DPAGEWELL_UPDATE_HOST=updates.example.invalid >/dev/null ||
    fail "scripts/package --unsigned made no package"
grep -q "^PAGEWELL_UPDATE_HOST:STRING=updates.example.invalid$" "$PAGEWELL_PACKAGE_BUILD_DIR/CMakeCache.txt" ||
    fail "the package was not built with the hosts it was given"
[ "$(md5sum "$build/CMakeCache.txt")" = "$before" ] || fail "packaging changed the development build's configuration"
echo "package-script passed"
