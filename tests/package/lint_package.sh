#!/usr/bin/env bash
# Builds the Debian package into a scratch folder and lets lintian judge it:
# any error or warning fails; info and pedantic tags are printed only. A tag
# the package means to carry is overridden in packaging/lintian-overrides.
#   lint_package.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: lint_package.sh BUILD_DIR}

command -v lintian >/dev/null || { echo "skipped: lintian is not installed"; exit 77; }
work=$(mktemp -d /tmp/sondrel-lint.XXXXXX)
trap 'rm -rf -- "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; echo "FAIL: cpack failed"; exit 1; }
debs=("$work"/*.deb)
[[ -f ${debs[0]} ]] || { cat "$work/cpack.log"; echo "FAIL: cpack wrote no .deb"; exit 1; }
rc=0
lintian --fail-on error,warning --display-info --pedantic "${debs[0]}" >"$work/lintian.log" 2>&1 || rc=$?
grep -v '^running with root privileges' "$work/lintian.log" || true
[[ $rc -eq 0 ]] || { echo "FAIL: lintian found errors or warnings (exit code $rc)"; exit 1; }
echo PASS
