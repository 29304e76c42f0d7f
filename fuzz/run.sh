#!/bin/sh
# Runs every fuzz target for a while on a scratch copy of its seed corpus,
# so the committed corpus does not grow.  Findings (crash-*, leak-*,
# timeout-*, oom-*) are kept under <build-dir>/fuzz-findings/<target>/.
#
#   fuzz/run.sh <build-dir> <seconds-per-target> [target...]
#
# Prints executions, executions per second and new coverage per target, and
# exits non-zero when any target found something.
set -u

if [ $# -lt 2 ]; then
    echo "usage: $0 <build-dir> <seconds-per-target> [target...]" >&2
    exit 2
fi
build=$(cd "$1" && pwd) || exit 2
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
targets=${*:-"fuzz_line fuzz_format fuzz_containers fuzz_parseint"}

# Longest input per target: a few script lines, a format and its words, an
# operation sequence, one word.
max_len() {
    case $1 in
    fuzz_line) echo 4096 ;;
    fuzz_format) echo 256 ;;
    fuzz_containers) echo 2048 ;;
    fuzz_parseint) echo 48 ;;
    *) echo 1024 ;;
    esac
}

work=$(mktemp -d "${TMPDIR:-/tmp}/kxfuzz-run.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT INT TERM

# Stack traces for UBSan reports too.
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
export UBSAN_OPTIONS

status=0
summary=""
for target in $targets; do
    bin="$build/fuzz/$target"
    if [ ! -x "$bin" ]; then
        echo "$target: not built in $build" >&2
        status=1
        continue
    fi
    corpus="$work/corpus-$target"
    mkdir -p "$corpus"
    if [ -d "$here/corpus/$target" ]; then
        cp "$here/corpus/$target"/* "$corpus"/ 2>/dev/null
    fi
    findings="$build/fuzz-findings/$target"
    mkdir -p "$findings"
    dict=""
    if [ -f "$here/$target.dict" ]; then
        dict="-dict=$here/$target.dict"
    fi
    log="$work/$target.log"
    echo "== $target: ${seconds}s, -max_len=$(max_len "$target")"
    # shellcheck disable=SC2086
    TMPDIR="$work" "$bin" -max_total_time="$seconds" -max_len="$(max_len "$target")" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" $dict \
        "$corpus" >"$log" 2>&1
    rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
    rate="?"
    if [ -n "$execs" ] && [ -n "$secs" ] && [ "$secs" -gt 0 ]; then
        rate=$((execs / secs))
    fi
    line="$target: ${execs:-?} execs in ${secs:-?} s = $rate exec/s, ${cov:-cov: ?}"
    if [ $rc -ne 0 ]; then
        line="$line  FINDING (exit $rc), see $log copy in $findings/"
        cp "$log" "$findings/last-run.log"
        grep -E 'ERROR|fuzz check failed|SUMMARY|artifact' "$log" | head -n 20
        status=1
    fi
    echo "$line"
    summary="$summary$line
"
done

echo
echo "== summary"
printf '%s' "$summary"
exit $status
