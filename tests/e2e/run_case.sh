#!/bin/sh
# run_case.sh -o OUT [-e ERR] [-s STATUS] [-i INPUT] [-E VAR=VALUE]... -- COMMAND...
# Runs COMMAND with INPUT piped in and no QVSTBDBG_FLAGS* variables but those -E sets; its
# output (and error, with -e) must equal the files byte for byte, its status STATUS (0).

unset $(env | sed -n 's/^\(QVSTBDBG_FLAGS[A-Za-z0-9_]*\)=.*/\1/p')
err= status=0 input=/dev/null
while getopts o:e:s:i:E: opt; do
    case $opt in
    o) out=$OPTARG ;;
    e) err=$OPTARG ;;
    s) status=$OPTARG ;;
    i) input=$OPTARG ;;
    E) export "$OPTARG" ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
tmp=$(mktemp -d) || exit 2
trap 'rm -rf "$tmp"' EXIT

cat "$input" | "$@" >"$tmp/out" 2>"$tmp/err"
rc=$?
fail=0
diff -u "$out" "$tmp/out" || fail=1
[ -z "$err" ] || diff -u "$err" "$tmp/err" || fail=1
[ "$rc" = "$status" ] || { echo "exit status $rc, expected $status"; fail=1; }
[ -n "$err" ] || cat "$tmp/err" # shown by ctest when the case fails
exit $fail
