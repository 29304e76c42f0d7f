#!/bin/sh
# Builds the hosts of project/ with the README's pkg-config lines and runs
# them: pkgconfig.sh <project folder> <output folder> [<link flag>...].
# PKG_CONFIG_PATH picks the installed tree (unset: the system's), CC and CXX
# the compilers; the link flags (a run path) follow the pkg-config flags.
set -eu
src=$1
out=$2
shift 2
mkdir -p "$out"
# shellcheck disable=SC2046 # the flags are meant to split
"${CC:-cc}" -Wall -Wextra -Werror -o "$out/host_c" "$src/host.c" \
    $(pkg-config --cflags --libs kxMUti) "$@"
# shellcheck disable=SC2046
"${CXX:-c++}" -Wall -Wextra -Werror -o "$out/host_cpp" "$src/host.cpp" \
    $(pkg-config --cflags --libs kxMUti) "$@"
"$out/host_c"
"$out/host_cpp"
