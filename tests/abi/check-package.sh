#!/usr/bin/env bash
# Builds the distribution zip and checks that it holds exactly the files
# given, each with content, and that its executables are Windows programs.
# Usage: check-package.sh BUILD_DIR ZIP FILE...
set -euo pipefail
build=$1 zip=$2
shift 2
cd "$build"
rm -f "$zip"
cpack -G ZIP >/dev/null
listing=$(cmake -E tar tf "$zip" | sed 's|^\./||' | grep -v '/$' | sort)
expected=$(printf '%s\n' "$@" | sort)
status=0
if [ "$listing" != "$expected" ]; then
  echo "the package holds:"; echo "$listing"; echo "expected:"; echo "$expected"; status=1
fi
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
(cd "$unpacked" && cmake -E tar xf "$build/$zip")
for f in "$@"; do
  [ -s "$unpacked/$f" ] || { echo "$f is missing or empty"; status=1; }
done
for exe in "$unpacked"/*.exe; do
  [ "$(head -c 2 "$exe")" = "MZ" ] || { echo "$(basename "$exe") is no Windows program"; status=1; }
done
echo "package $zip: $(wc -l <<<"$listing") files"
[ $status -eq 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $status
