#!/bin/sh
# pkgconfig.sh <project folder> <output folder> [<link flag>...]: builds the
# hosts of project/ with the README's pkg-config lines, then runs them.
# PKG_CONFIG_PATH picks the install (unset: the system's); CC and CXX the
# compilers; KX_WERROR=ON makes warnings errors, as in the build.
set -eu
src=$1 out=$2
shift 2
mkdir -p "$out"
flags=$(pkg-config --cflags --libs kxMUti)
werror=
case ${KX_WERROR:-OFF} in ON | on | 1 | TRUE | true | YES | yes) werror=-Werror ;; esac
# shellcheck disable=SC2086 # the flags are meant to split; werror may be empty
"${CC:-cc}" -Wall -Wextra $werror -o "$out/host_c" "$src/host.c" $flags "$@"
# shellcheck disable=SC2086
"${CXX:-c++}" -Wall -Wextra $werror -o "$out/host_cpp" "$src/host.cpp" $flags "$@"
"$out/host_c"
"$out/host_cpp"
