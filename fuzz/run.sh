#!/usr/bin/env bash
# The fuzz targets of fuzz/fuzz.py, against an extension built for the fuzzer: clang with
# ASan + UBSan + coverage counters, run with atheris's libFuzzer/ASan runtime preloaded.
#
#   fuzz/run.sh setup VENV [PYTHON]   make VENV (with PYTHON, default python3), install
#                                     atheris and the instrumented build of this tree
#   fuzz/run.sh VENV TARGET [ARGS]    run one target; ARGS go to libFuzzer
#   fuzz/run.sh smoke VENV            per target: replay fuzz/corpus/TARGET, then a fixed
#                                     seed and a fixed number of runs; a finding fails
#
# Targets: query_compiler state_tracker schema_diff batch_aggregator binding.
# FUZZ_TRACE=1 prints every call a replayed input makes.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
TARGETS=(query_compiler state_tracker schema_diff batch_aggregator binding)
# runs per target in the smoke stage: 40 to 65 s each on the 2-core CI machine (about 5 min
# for the stage, build included)
declare -A SMOKE_RUNS=([query_compiler]=65000 [state_tracker]=150000 [schema_diff]=150000
                       [batch_aggregator]=110000 [binding]=160000)

pip_q() { "$1/bin/python" -m pip -q "${@:2}" 2> >(grep -v "is neither a file" >&2); }

if [ "${1:-}" = setup ]; then
    venv=$2
    "${3:-python3}" -m venv "$venv"
    pip_q "$venv" install --upgrade pip
    pip_q "$venv" install atheris
    # A build of its own: not BRACKWELL_SANITIZE, whose -shared-libsan would load a second
    # ASan runtime beside atheris's; function/vptr checks need handlers that runtime lacks.
    flags="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=function,vptr"
    CC=clang CXX=clang++ pip_q "$venv" install --force-reinstall --no-deps \
        -Cbuild-dir="$venv/fuzz-build" -Ccmake.build-type=Debug \
        -Ccmake.define.CMAKE_CXX_FLAGS="$flags -fno-sanitize-recover=all -g -O1" \
        -Ccmake.define.CMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" "$here/.."
    exit 0
fi

run() {                         # run VENV TARGET ARGS...
    local venv=$1 rt
    rt=$("$venv/bin/python" -c "import atheris; print(atheris.path())")/asan_with_fuzzer.so
    PATH="$venv/bin:$PATH" LD_PRELOAD=$rt PYTHONHASHSEED=0 \
        ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:${ASAN_OPTIONS:-}" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        "$venv/bin/python" "$here/fuzz.py" "${@:2}" -dict="$here/brackwell.dict" -timeout=20
}

if [ "${1:-}" = smoke ]; then
    venv=$2
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    for t in "${TARGETS[@]}"; do
        echo "--- $t: replay of fuzz/corpus/$t, then -seed=1 -runs=${SMOKE_RUNS[$t]}"
        mkdir -p "$work/$t" "$work/found-$t"
        cp "$here/corpus/$t"/* "$work/$t/"
        t0=$SECONDS
        if ! run "$venv" "$t" -seed=1 -runs="${SMOKE_RUNS[$t]}" -max_len=1024 \
                -print_final_stats=1 -artifact_prefix="$work/found-$t/" "$work/$t" \
                > "$work/$t.log" 2>&1; then
            tail -n 60 "$work/$t.log"
            for f in "$work/found-$t"/*; do
                echo "FINDING of $t, input $(basename "$f") (hex): $(od -An -tx1 -v "$f" | tr -d ' \n')"
                FUZZ_TRACE=1 run "$venv" "$t" "$f" 2>&1 | grep '^call ' || true
            done
            exit 1
        fi
        grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::number_of_executed_units' "$work/$t.log"
        echo "$t: $((SECONDS - t0)) s"
    done
    exit 0
fi

run "$@"
