#!/usr/bin/env bash
# Fuzzing in continuous integration: install clang and libFuzzer when missing, build the fuzz
# targets with AddressSanitizer and UndefinedBehaviorSanitizer in build-fuzz, replay the seed
# corpora and every kept finding (fuzz/regressions/<target>/), then fuzz each target for about a
# minute (FUZZ_SECONDS) from its seeds. Any crash, sanitizer report or harness finding fails the
# run; its input is left in build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
targets=(check_file receive pixdb catvar mkvar)
declare -A max_len=([check_file]=4096 [receive]=128 [pixdb]=1024 [catvar]=2048 [mkvar]=1024 [picture]=4096)

# A tiny fuzz target tells whether clang and its fuzzer runtime are both there.
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' \
    >"$probe/probe.cpp"
if ! clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
    >/dev/null 2>&1; then
    echo "Installing: clang libclang-rt-dev"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q </dev/null
    $sudo apt-get install -y -q --no-install-recommends clang libclang-rt-dev </dev/null
fi

echo "=== build-fuzz: fuzz targets (clang, ASan, UBSan)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DFUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    >/dev/null
cmake --build build-fuzz --target fuzz -j2
# The picture target exists where libpng does.
[ -x build-fuzz/fuzz/fuzz_picture ] && targets+=(picture)

# The receiver's two threads (the program and the calculator) take strict turns: on one
# processor each hand-over is a plain switch, not a wake-up on another core, and the target runs
# several times faster. The others are single-threaded and lose nothing.
pin=()
if command -v taskset >/dev/null; then
    pin=(taskset -c "$(taskset -pc $$ | sed 's/.*: //; s/[,-].*//')")
fi

findings=build-fuzz/findings
mkdir -p "$findings"
passed=0
failed=0
step() {
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $what"
    fi
}

for target in "${targets[@]}"; do
    binary=build-fuzz/fuzz/fuzz_$target
    inputs=(fuzz/corpus/$target)
    [ -d fuzz/regressions/$target ] && inputs+=(fuzz/regressions/$target)
    echo "=== $target: replay ${inputs[*]}"
    step "$target replay" "${pin[@]}" "$binary" -runs=0 -artifact_prefix="$findings/$target-" \
        "${inputs[@]}"

    echo "=== $target: fuzz for ${seconds} s"
    work=build-fuzz/corpus-$target
    rm -rf "$work"
    mkdir -p "$work"
    step "$target fuzzing" "${pin[@]}" "$binary" -max_total_time="$seconds" -timeout=10 \
        -max_len="${max_len[$target]}" -print_final_stats=1 \
        -artifact_prefix="$findings/$target-" "$work" "${inputs[@]}"
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
