#!/usr/bin/env bash
# Checks the Windows zip (make windows): the DLL with its version resource, the import library,
# the module-definition file, the public headers and vecall.exe.
#   scripts/check-windows-zip.sh voiceengine-VERSION-win32.zip
set -euo pipefail
zip="$(realpath "$1")"
root="$(dirname "$0")/.."
scratch="$(mktemp -d "${TMPDIR:-/tmp}/ve-zip-check.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
(cd "$scratch" && cmake -E tar xf "$zip")
top="$scratch/$(basename "$zip" .zip)"
fail=0
for file in bin/voiceengine.dll bin/vecall.exe lib/voiceengine.dll.a lib/voiceengine.def; do
  [ -f "$top/$file" ] || { echo "FAIL: $file missing"; fail=1; }
done
for header in "$root"/include/voiceengine/*.h; do
  [ -f "$top/include/voiceengine/$(basename "$header")" ] || { echo "FAIL: $(basename "$header") missing"; fail=1; }
done
version=$(sed -n 's/^project(voiceengine VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
# The version resource's strings are UTF-16.
if [ -f "$top/bin/voiceengine.dll" ]; then
  strings -el "$top/bin/voiceengine.dll" | grep -qx "$version" || { echo "FAIL: no version resource $version in the DLL"; fail=1; }
fi
(cd "$top" && find . -type f | sort)
[ $fail -eq 0 ] && echo "$(basename "$zip"): complete"
exit $fail
