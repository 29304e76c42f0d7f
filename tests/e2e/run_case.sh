#!/bin/sh
# run_case.sh - runs one end-to-end case of the command interpreter and
# compares what the program wrote, byte for byte, with the expected files.
#
# usage: run_case.sh -o OUT [-e ERR] [-s STATUS] [-C DIR] [-i INPUT] -- COMMAND...
#
#   -o OUT     expected standard output (required)
#   -e ERR     expected standard error; without it standard error is not
#              compared (it is shown when the case fails)
#   -s STATUS  expected exit status (default 0)
#   -C DIR     working directory of the program (default: the current one);
#              relative paths in the case resolve from here
#   -i INPUT   fed to the program's standard input through a pipe
#              (default: /dev/null, so a stray read meets end of input)
#
# COMMAND is everything after "--": an emulator and its options when the
# program is built for another machine (qemu-mipsel -L /usr/mipsel-linux-gnu),
# then the program and its arguments.  File arguments of this script are
# taken relative to the directory it is started from, never DIR, so the
# case runs from any build directory.  Exit status: 0 when everything
# matched, 1 when something differed, 2 for bad usage.

usage() {
    sed -n 's/^# \(usage: .*\)/\1/p' "$0" >&2
    exit 2
}

out=
err=
want_status=0
dir=.
input=/dev/null
while getopts o:e:s:C:i: opt; do
    case $opt in
    o) out=$OPTARG ;;
    e) err=$OPTARG ;;
    s) want_status=$OPTARG ;;
    C) dir=$OPTARG ;;
    i) input=$OPTARG ;;
    *) usage ;;
    esac
done
shift $((OPTIND - 1))
[ -n "$out" ] && [ $# -ge 1 ] || usage
for f in "$out" ${err:+"$err"} "$input"; do
    [ -r "$f" ] || { echo "run_case.sh: cannot read $f" >&2; exit 2; }
done
[ -d "$dir" ] || { echo "run_case.sh: no directory $dir" >&2; exit 2; }

# The debug service stand-in takes its flag words from QVSTBDBG_FLAGS*;
# traces switched on there would land in the compared standard error.
for var in $(env | sed -n 's/^\(QVSTBDBG_FLAGS[A-Za-z0-9_]*\)=.*/\1/p'); do
    unset "$var"
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kx-e2e.XXXXXX") || exit 2
trap 'rm -rf "$tmp"' EXIT
trap 'exit 2' HUP INT TERM

# The case itself.  The pipe makes standard input a pipe, as when a person
# pipes commands into the tool; the subshell keeps our own directory.
cat "$input" | (cd "$dir" && exec "$@") >"$tmp/out" 2>"$tmp/err"
status=$?

# Shows how an actual file differs from the expected one.
show_diff() {
    echo "--- $3 differs: expected $1, actual below" >&2
    if command -v diff >/dev/null 2>&1; then
        diff -u "$1" "$2" >&2
    else
        cmp "$1" "$2" >&2
    fi
}

failed=0
if ! cmp -s "$out" "$tmp/out"; then
    show_diff "$out" "$tmp/out" "standard output"
    failed=1
fi
if [ -n "$err" ] && ! cmp -s "$err" "$tmp/err"; then
    show_diff "$err" "$tmp/err" "standard error"
    failed=1
fi
if [ "$status" -ne "$want_status" ]; then
    echo "--- exit status $status, expected $want_status" >&2
    failed=1
fi
if [ $failed -ne 0 ]; then
    echo "--- command (in $dir): $*" >&2
    if [ -z "$err" ] && [ -s "$tmp/err" ]; then
        echo "--- standard error:" >&2
        cat "$tmp/err" >&2
    fi
fi
exit $failed
