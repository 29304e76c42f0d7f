#!/bin/sh
# Debug flag words set from the environment reach the debug service: runs
# one line with VAR=VALUE set and expects the word-count trace on standard
# error.
#
#   debug_env.sh VAR VALUE -- program [args...]
set -u
var=$1
value=$2
shift 3
err=$(env -u QVSTBDBG_FLAGS -u QVSTBDBG_FLAGS_MUtiCmd "$var=$value" "$@" -c 'echo hi' 2>&1 >/dev/null)
want='[MUtiCmd] kxMUtiCmd_Exec nArgs=2'
if [ "$err" != "$want" ]; then
    echo "with $var=$value: standard error was:"
    printf '%s\n' "$err"
    echo "expected: $want"
    exit 1
fi
