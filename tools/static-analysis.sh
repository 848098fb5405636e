#!/usr/bin/env bash
# Static analysis of the whole tree: clang-tidy with the checks in .clang-tidy, then cppcheck.
# Both read the compile commands of a build folder of their own (build-analysis, configured with
# clang and FUZZ=ON so that the fuzz targets are included; nothing is built). Installs the tools
# when missing. Any finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v clang++ >/dev/null || missing+=(clang)
command -v clang-tidy >/dev/null || missing+=(clang-tidy)
command -v cppcheck >/dev/null || missing+=(cppcheck)
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q </dev/null
    $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
fi

dir=build-analysis
CC=clang CXX=clang++ cmake -S . -B "$dir" -DFUZZ=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

# The project's own sources: the compile commands of the files inside the tree, for both tools.
mapfile -t sources < <(python3 - "$dir" "$PWD" <<'PY'
import json, os, sys
folder, root = sys.argv[1], os.path.normpath(sys.argv[2])
own, seen = [], set()
for command in json.load(open(os.path.join(folder, "compile_commands.json"))):
    path = os.path.normpath(os.path.join(command["directory"], command["file"]))
    inside = path.startswith(root + os.sep) and not path[len(root):].startswith("/build")
    if inside and path not in seen:
        seen.add(path)
        own.append(dict(command, file=path))
        print(path)
json.dump(own, open(os.path.join(folder, "own_commands.json"), "w"), indent=1)
PY
)

passed=0
failed=0

echo "=== clang-tidy: ${#sources[@]} files"
# Each run counts the warnings it suppressed in headers outside the tree; only findings matter.
if printf '%s\n' "${sources[@]}" | xargs -P 2 -n 1 clang-tidy -p "$dir" --quiet 2>&1 |
    { grep -v ' warnings\? generated\.$' || true; }; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
    echo "FAILED: clang-tidy"
fi

echo "=== cppcheck"
if cppcheck --project="$dir/own_commands.json" --enable=warning,performance,portability \
    --std=c++20 --inline-suppr --error-exitcode=1 --quiet -j 2 \
    --library=googletest --suppress=missingIncludeSystem --suppress=unmatchedSuppression; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
    echo "FAILED: cppcheck"
fi

echo "static-analysis: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
