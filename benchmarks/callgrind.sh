#!/bin/sh
# callgrind.sh - instructions per line (callgrind) and ns per line (Google
# Benchmark) of every workload of kx_bench_exec, as one Markdown table.
#
#   benchmarks/callgrind.sh <build-dir> [N1 N2]
#
# Instructions per line: the count over N2 lines minus the count over N1
# lines, divided by N2 - N1, so start-up and loading drop out.  The counts
# are the same from run to run; the nanoseconds are not.
set -eu

build=${1:?usage: callgrind.sh <build-dir> [N1 N2]}
n1=${2:-2048}
n2=${3:-10240}
prog=$build/benchmarks/kx_bench_exec
[ -x "$prog" ] || { echo "no $prog: configure with -DKX_BUILD_BENCHMARKS=ON" >&2; exit 2; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$prog" --script "$tmp/n1.kx" "$n1"
"$prog" --script "$tmp/n2.kx" "$n2"

# Instructions executed by one run of the program with these arguments.
run_count() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$prog" "$@" 2>&1 |
        sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
count() { run_count --lines "$@"; } # workload system n [script]

per_line() { # workload system
    if [ "$1" = file ]; then
        c1=$(count "$1" "$2" "$n1" "$tmp/n1.kx")
        c2=$(count "$1" "$2" "$n2" "$tmp/n2.kx")
    else
        c1=$(count "$1" "$2" "$n1")
        c2=$(count "$1" "$2" "$n2")
    fi
    [ -n "$c1" ] && [ -n "$c2" ] || { echo "callgrind run failed: $1 $2" >&2; exit 1; }
    echo $(((c2 - c1 + (n2 - n1) / 2) / (n2 - n1)))
}

systems=kxmuti
"$prog" --benchmark_list_tests | grep -q '^BM_Tcl' && systems="kxmuti tcl"

"$prog" --benchmark_format=csv --benchmark_min_time=0.3 >"$tmp/ns.csv" 2>/dev/null
# ns per line from the items_per_second column (items are lines).
ns() { # benchmark name
    awk -F, -v name="\"$1\"" 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == "items_per_second") col = i }
        $1 == name { printf "%.0f", 1e9 / $col }' "$tmp/ns.csv"
}

printf '| workload | system | instructions per line | ns per line |\n|---|---|---:|---:|\n'
for w in add set file names; do
    for s in $systems; do
        case $s in kxmuti) b=BM_Kx label=kxMUti ;; tcl) b=BM_Tcl label="Tcl 8.6" ;; esac
        case $w in file) bench=${b}File ;; *) bench=$b/$w ;; esac
        printf '| %s | %s | %s | %s |\n' "$w" "$label" "$(per_line "$w" "$s")" "$(ns "$bench")"
    done
done

# The table walk, per definition passed: a lookup of clk_test (the last of
# 210 commands) or clk_init (the 201st) less one of tuner_init (the 11th).
# From tuner_init to clk_init no name starts with c; clk_test passes its
# nine clk_ siblings too, whose names must be compared further.  A word
# that is no full name (clk_te, a unique prefix) walks the whole table for
# exact names, then again for aliases and prefixes: its whole cost is shown
# per definition of the table.
per_lookup() { # word
    c1=$(run_count --lookup "$1" "$n1")
    c2=$(run_count --lookup "$1" "$n2")
    echo $(((c2 - c1) / (n2 - n1)))
}
base=$(per_lookup tuner_init)
other=$(per_lookup clk_init)
all=$(per_lookup clk_test)
prefix=$(per_lookup clk_te)
echo
echo "lookup walk, instructions per definition passed:" \
    "$(echo "$other $base" | awk '{ printf "%.1f", ($1 - $2) / 190 }') (names starting with another byte)," \
    "$(echo "$all $base" | awk '{ printf "%.1f", ($1 - $2) / 199 }') (with the clk_ siblings);" \
    "prefix clk_te: $prefix per lookup, $(echo "$prefix" | awk '{ printf "%.1f", $1 / 210 }') per definition"
