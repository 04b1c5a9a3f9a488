#!/bin/bash
# Fails if any C++ file differs from its layout under .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
for file in $(git ls-files '*.cpp' '*.h' 2>/dev/null || find . -name '*.cpp' -o -name '*.h'); do
    if ! clang-format "$file" | cmp -s - "$file"; then
        echo "$file is not laid out as .clang-format says (clang-format -i $file)"
        status=1
    fi
done
exit $status
