#!/bin/sh
# fuzz/run.sh <build-dir> <seconds-per-target> [target...]: runs each fuzz target (all
# built in <build-dir>/fuzz/ unless named) on a scratch copy of its seeds, corpus/<target>/
# (the committed ones do not grow), with <target>.dict when there is one; keeps findings
# under <build-dir>/fuzz-findings/<target>/ and exits non-zero when any target found something.
set -u
[ $# -ge 2 ] || { echo "usage: $0 <build-dir> <seconds-per-target> [target...]" >&2; exit 2; }
build=$(cd "$1" && pwd) || exit 2
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kxfuzz-run.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT INT TERM
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"
status=0
targets=${*:-$(cd "$build/fuzz" && for f in fuzz_*; do [ -x "$f" ] && echo "$f"; done)}
[ -n "$targets" ] || { echo "$0: no fuzz targets in $build/fuzz" >&2; exit 2; }
for target in $targets; do
    findings="$build/fuzz-findings/$target" log="$work/$target.log"
    mkdir -p "$work/$target" "$findings"
    cp "$here/corpus/$target"/* "$work/$target"/ 2>/dev/null
    case $target in fuzz_parseint) max=64 ;; fuzz_complete) max=512 ;; fuzz_frame) max=16384 ;; fuzz_session) max=2048 ;; *) max=4096 ;; esac
    dict=
    [ -f "$here/$target.dict" ] && dict=-dict="$here/$target.dict"
    TMPDIR="$work" "$build/fuzz/$target" -max_total_time="$seconds" -max_len=$max -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
        $dict "$work/$target" >"$log" 2>&1
    rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    echo "$target: ${execs:-?} execs in ${seconds} s, $(grep -o 'cov: [0-9]*' "$log" | tail -n 1)"
    if [ $rc -ne 0 ]; then
        cp "$log" "$findings/last-run.log"
        grep -E 'ERROR|fuzz check failed|SUMMARY|artifact' "$log" | head -n 20
        echo "$target: FINDING (exit $rc), log in $findings/last-run.log"
        status=1
    fi
done
exit $status
