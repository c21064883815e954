#!/usr/bin/env bash
# Checks the dynamic exports of the Linux engine library against its public interface:
#  - the VoiceEngine class: exactly the constructor, destructor and 34 operations the Windows
#    library exports (src/engine/voiceengine.def);
#  - the voiceengine namespace: exactly the operations include/voiceengine/ marks VOICEENGINE_API.
# Prints the count and fails on anything exported that is not public, or public and missing.
#   scripts/check-so-exports.sh libvoiceengine.so [source-dir]
set -euo pipefail
so="$1"
src="${2:-$(dirname "$0")/..}"

# Function names only (no parameter lists): overloads are not part of the interface.
exported=$(nm -D --defined-only "$so" | awk '{print $3}' | c++filt | sed 's/(.*//' | sort -u)
count=$(nm -D --defined-only "$so" | wc -l)
expected=$( {
  sed -n 's/^[[:space:]]*\(_Z[A-Za-z0-9_]*\).*/\1/p' "$src/src/engine/voiceengine.def" | c++filt | sed 's/(.*//'
  grep -ho '^VOICEENGINE_API[^(]*(' "$src"/include/voiceengine/*.h | sed 's/.*[[:space:]*&]\([A-Za-z0-9_]*\)($/voiceengine::\1/'
} | sort -u)

echo "$so: $count dynamic exports, $(wc -l <<<"$exported") names, $(wc -l <<<"$expected") public"
fail=0
extra=$(comm -23 <(echo "$exported") <(echo "$expected"))
missing=$(comm -13 <(echo "$exported") <(echo "$expected"))
[ -z "$extra" ] || { echo "FAIL: exported but not public:"; sed 's/^/  /' <<<"$extra"; fail=1; }
[ -z "$missing" ] || { echo "FAIL: public but not exported:"; sed 's/^/  /' <<<"$missing"; fail=1; }
exit $fail
