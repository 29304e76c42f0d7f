#!/bin/sh
# prepare-mipsel-sysroot.sh [--from <folder>] [--force] [<sysroot>]
#
# Prepares what the cross build for the set-top box takes from Debian's
# mipsel packages, in <sysroot> (default: sysroot/mipsel in the source tree,
# the default of the CMake cache variable KX_DEBIAN_SYSROOT):
#
#   <sysroot>/              libedit-dev, libedit2 and the libraries libedit
#                           needs (libbsd0, libmd0, libtinfo6), unpacked: the
#                           console is compiled and linked against them.
#   <sysroot>/shlibs/       the target's run-time libraries (libc6, libgcc-s1,
#                           libstdc++6 and libedit's) with their packages'
#                           shlibs and symbols files merged into DEBIAN/:
#                           dpkg-shlibdeps reads them when CPack computes the
#                           Depends of the mipsel packages.  Kept apart from
#                           the folders above, so nothing links or runs
#                           against this libc (the toolchain brings its own).
#   <sysroot>/debs/         the .deb files used.
#   <sysroot>/packages.txt  "<package> <version>", one a line; written last,
#                           so its presence means the sysroot is complete.
#
# The packages come from `apt-get download <name>:mipsel`, which needs apt to
# know the architecture (as root, once per machine:
# `dpkg --add-architecture mipsel && apt-get update`); nothing is installed.
# Without network, copy the .deb files (same names, architecture mipsel) into
# a folder and pass it with --from.  An existing sysroot with the same
# package list is kept unless --force is given.  Configure never downloads:
# it only reads the sysroot this script prepared.
set -eu

arch=mipsel
triple=mipsel-linux-gnu
# Compiled and linked against: unpacked at the top of the sysroot.
build_pkgs="libedit-dev libedit2 libbsd0 libmd0 libtinfo6"
# Their libraries and their packages' dependency information, for
# dpkg-shlibdeps only.
shlibs_pkgs="libc6 libgcc-s1 libstdc++6 libedit2 libbsd0 libmd0 libtinfo6"
# shellcheck disable=SC2086 # one word per package
all_pkgs=$(printf '%s\n' $build_pkgs $shlibs_pkgs | sort -u | tr '\n' ' ')

usage() {
  sed -n '2,/^set -eu/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
}

from=
force=
dest=
while [ $# -gt 0 ]; do
  case $1 in
    --from) [ $# -ge 2 ] || usage; from=$2; shift 2 ;;
    --force) force=1; shift ;;
    -h|--help) usage ;;
    -*) echo "prepare-mipsel-sysroot: unknown option $1" >&2; usage ;;
    *) [ -z "$dest" ] || usage; dest=$1; shift ;;
  esac
done
if [ -z "$dest" ]; then
  dest=$(cd "$(dirname "$0")/.." && pwd)/sysroot/$arch
fi
command -v dpkg-deb >/dev/null || { echo "prepare-mipsel-sysroot: dpkg-deb not found" >&2; exit 1; }

if [ -z "$force" ] && [ -z "$from" ] && [ -f "$dest/packages.txt" ] &&
   [ "$(cut -d' ' -f1 "$dest/packages.txt" | tr '\n' ' ')" = "$all_pkgs" ]; then
  echo "prepare-mipsel-sysroot: $dest is prepared (--force to fetch again):"
  sed 's/^/  /' "$dest/packages.txt"
  exit 0
fi

mkdir -p "$(dirname "$dest")"
work=$(mktemp -d "$dest.new.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/debs" "$work/shlibs/DEBIAN" "$work/control"

# The .deb files, into $work/debs.
if [ -n "$from" ]; then
  for pkg in $all_pkgs; do
    found=
    for deb in "$from"/*.deb; do
      [ -f "$deb" ] || continue
      if [ "$(dpkg-deb -f "$deb" Package)" = "$pkg" ] &&
         [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ]; then
        [ -z "$found" ] || { echo "prepare-mipsel-sysroot: two $pkg:$arch in $from: $found, $deb" >&2; exit 1; }
        found=$deb
      fi
    done
    [ -n "$found" ] || { echo "prepare-mipsel-sysroot: no $pkg ($arch) .deb in $from" >&2; exit 1; }
    cp "$found" "$work/debs/"
  done
else
  names=
  for pkg in $all_pkgs; do names="$names $pkg:$arch"; done
  echo "prepare-mipsel-sysroot: apt-get download$names"
  # shellcheck disable=SC2086 # one word per package
  if ! (cd "$work/debs" && apt-get download $names); then
    cat >&2 <<EOF
prepare-mipsel-sysroot: apt-get download failed.  Either let apt know the
architecture, as root, once per machine:
  dpkg --add-architecture $arch && apt-get update
or copy these packages' .deb files ($arch) into a folder and run
  $0 --from <folder>
Packages: $all_pkgs
EOF
    exit 1
  fi
fi

: >"$work/packages.txt"
for pkg in $all_pkgs; do
  deb=
  for f in "$work"/debs/*.deb; do
    if [ "$(dpkg-deb -f "$f" Package)" = "$pkg" ]; then deb=$f; fi
  done
  [ -n "$deb" ] || { echo "prepare-mipsel-sysroot: $pkg missing after download" >&2; exit 1; }
  case " $build_pkgs " in *" $pkg "*) dpkg-deb -x "$deb" "$work" ;; esac
  case " $shlibs_pkgs " in
    *" $pkg "*)
      dpkg-deb -x "$deb" "$work/shlibs"
      dpkg-deb -e "$deb" "$work/control/$pkg"
      for kind in shlibs symbols; do
        if [ -f "$work/control/$pkg/$kind" ]; then
          cat "$work/control/$pkg/$kind" >>"$work/shlibs/DEBIAN/$kind"
        fi
      done
      ;;
  esac
  echo "$pkg $(dpkg-deb -f "$deb" Version)" >>"$work/packages.txt"
done
rm -rf "$work/control"
# Only the libraries matter there: drop documentation, configuration and
# libc's character-set modules (most of its size).
rm -rf "$work/shlibs/etc" "$work/shlibs/usr/share" "$work/shlibs/usr/lib/$triple/gconv"
if [ ! -f "$work/usr/include/histedit.h" ] || [ ! -e "$work/usr/lib/$triple/libedit.so" ]; then
  echo "prepare-mipsel-sysroot: libedit-dev did not unpack as expected" >&2
  exit 1
fi

# Replace the old sysroot in one step, so a configure never sees half of one.
rm -rf "$dest.old"
if [ -e "$dest" ]; then mv "$dest" "$dest.old"; fi
mv "$work" "$dest"
trap - EXIT
rm -rf "$dest.old"
echo "prepare-mipsel-sysroot: prepared $dest:"
sed 's/^/  /' "$dest/packages.txt"
