#!/usr/bin/env bash
# Build the fuzzing driver and run every target (or the ones named) for a
# bounded time each, one after another. See fuzz/README.md.
#
#   bash fuzz/run.sh [SECONDS] [TARGET...]    default: 30 s each, all targets
#   bash fuzz/run.sh build                    only build
#
# Exits non-zero when any target finds something; each finding is copied
# to tests/regress/fuzz/<target>/ (which the test suite replays) and its
# log kept in build/fuzz/logs/.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TARGETS=(xml strings rows row_cells load prescan writer resave table)

# Outside the toolchain (no clang for python3.14 here): the same command
# inside the project's environment.
if ! { command -v clang++ >/dev/null && command -v python3.14-config >/dev/null; }; then
    args=$(printf ' %q' "$@")
    exec bash "$HERE/scripts/devenv.sh" run "bash fuzz/run.sh$args"
fi
cd "$HERE"

BUILD=build/fuzz
DRIVER=$BUILD/vellum-fuzz

build() {
    if [ ! -f $BUILD/build.ninja ]; then
        # the engine with ASan, UBSan and the coverage libFuzzer steers by;
        # clang's LTO objects would need its own linker, so none
        meson setup $BUILD --native-file fuzz/native.ini -Dsanitize=true -Db_lto=false \
            -Dcpp_args=-fsanitize=fuzzer-no-link >/dev/null
    fi
    ninja -C $BUILD -j "${FUZZ_JOBS:-2}" >/dev/null
    if [ ! -x $DRIVER ] || [ fuzz/harness.cpp -nt $DRIVER ]; then
        # -rdynamic: the extension finds the sanitizer and coverage runtime
        # in the driver
        # shellcheck disable=SC2046
        clang++ -std=c++23 -O1 -g -fsanitize=fuzzer,address,undefined -rdynamic \
            -DVELLUM_FUZZ_DEFAULT_ROOT="\"$HERE\"" fuzz/harness.cpp \
            $(python3.14-config --embed --cflags --ldflags) -o $DRIVER
    fi
}

# the seed folders of a target (the sheet targets share theirs)
seeds() {
    case $1 in
        xml) echo fuzz/seeds/xml fuzz/seeds/sheet ;;
        strings|writer) echo "fuzz/seeds/$1" ;;
        *) echo fuzz/seeds/sheet ;;
    esac
}

max_len() {
    case $1 in writer) echo 512 ;; *) echo 4096 ;; esac
}

# one target for $2 seconds; extra libFuzzer flags after
run_target() {
    local name=$1 seconds=$2; shift 2
    local corpus=$BUILD/corpus/$name found=$BUILD/findings/$name/ log=$BUILD/logs/$name.log
    mkdir -p "$corpus" "$found" "$BUILD/logs"
    local status=0
    VELLUM_FUZZ_TARGET=$name VELLUM_FUZZ_BUILD=$BUILD PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        $DRIVER "$corpus" $(seeds "$name") -dict=fuzz/sml.dict \
            -max_total_time="$seconds" -max_len="$(max_len "$name")" -timeout=20 \
            -rss_limit_mb=2048 -artifact_prefix="$found" -print_final_stats=1 "$@" \
            >"$log" 2>&1 || status=$?
    local last; last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
    local runs; runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    printf '%-10s runs %-9s %s\n' "$name" "${runs:-?}" "$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[^ ]+' <<<"$last" || true)"
    if [ $status -ne 0 ]; then
        local kept=tests/regress/fuzz/$name
        mkdir -p "$kept"
        for f in "$found"*; do
            [ -f "$f" ] || continue
            cp "$f" "$kept/$(sha1sum "$f" | cut -c1-16)"
        done
        printf '%-10s FINDING (log %s, inputs copied to %s)\n' "$name" "$log" "$kept"
        grep -m5 -E 'ERROR|AssertionError|Error:|vellum-fuzz:' "$log" | sed 's/^/    /' || true
        return 1
    fi
}

seconds=30
if [ "${1:-}" = build ]; then build; exit 0; fi
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then seconds=$1; shift; fi
[ $# -gt 0 ] && TARGETS=("$@")
build
failed=0
for t in "${TARGETS[@]}"; do
    run_target "$t" "$seconds" || failed=1
done
exit $failed
