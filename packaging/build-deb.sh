#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian packages from this tree as a distribution would, out of the tree:
#
#   packaging/build-deb.sh OUT [dpkg-buildpackage options]
#
# OUT/src/kestravo gets a clean copy of the tree (the files git knows, with their uncommitted
# edits, and new files git does not ignore; no build folders), dpkg-buildpackage -us -uc -b runs
# there, and the .deb, .ddeb, .buildinfo and .changes files are moved to OUT, with the source
# package (.dsc and .tar.xz) that dpkg-source makes of the copy first. OUT is emptied first.
#
# KESTRAVO_DEB_FILE_TIME=SECONDS sets the time of every file of the copy (since 1970), which must
# change nothing in the packages (tests/package/test_reproducible.py).
#
# DEB_BUILD_OPTIONS defaults to parallel=2. ccache is used when installed (and never needed): it
# is given to CMake through CMAKE_CXX_COMPILER_LAUNCHER, with its cache where the user keeps it,
# since debhelper points HOME elsewhere during the build; the packages are the same with or
# without it.
#
#   packaging/build-deb.sh --chroot DIR OUT [dpkg-buildpackage options]
#
# builds the source package as a distribution's build daemon does (make package-check-chroot):
# in a bookworm chroot that holds only the essential packages, build-essential and the
# Build-Depends, with no network during the build, as an ordinary user, tests on. DIR/base is
# made once by debootstrap (KESTRAVO_CHROOT_MIRROR names another mirror) and kept untouched; each
# run copies it to DIR/run, installs the Build-Depends there with apt, then unpacks the .dsc and
# runs dpkg-buildpackage in a namespace without network, whose /proc, /dev and mounts vanish
# with it. KESTRAVO_CHROOT_USER=root builds as root instead. Needs root and debootstrap.
set -eu

chroot_dir=
if [ "${1:-}" = "--chroot" ]; then
    [ $# -ge 2 ] || { echo "usage: $0 --chroot DIR OUT [dpkg-buildpackage options]" >&2; exit 2; }
    chroot_dir=$2
    shift 2
    if [ "$(id -u)" -ne 0 ]; then
        echo "$0: --chroot needs root (debootstrap, chroot and namespaces)" >&2
        exit 2
    fi
    if ! command -v debootstrap >/dev/null 2>&1; then
        echo "$0: --chroot needs debootstrap (scripts/install-deps.sh package)" >&2
        exit 2
    fi
fi

[ $# -ge 1 ] || { echo "usage: $0 [--chroot DIR] OUT [dpkg-buildpackage options]" >&2; exit 2; }
out=$1
shift
top=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)
case "$out/" in
    "$top/"*)
        # Else the copy of the tree would take in the copies of earlier runs.
        if ! git -C "$top" check-ignore -q "$out/src" 2>/dev/null; then
            echo "$0: $out lies in the tree, in a folder git does not ignore" >&2
            exit 2
        fi ;;
esac

rm -rf "$out/src"
find "$out" -maxdepth 1 -type f \( -name '*.deb' -o -name '*.ddeb' -o -name '*.buildinfo' \
    -o -name '*.changes' -o -name '*.dsc' -o -name '*.tar.*' \) -delete
src=$out/src/kestravo
mkdir -p "$src"
if git -C "$top" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    # Deleted files are still in the index; only what exists is copied.
    git -C "$top" ls-files -z --cached --others --exclude-standard |
        (cd "$top" && xargs -0 sh -c 'for f; do [ -e "$f" ] || [ -L "$f" ] && printf "%s\0" "$f"; done' sh) |
        (cd "$top" && tar --null -T - -cf -) | tar -xf - -C "$src"
else
    (cd "$top" && tar --exclude='./build*' --exclude='./obj-*' -cf - .) | tar -xf - -C "$src"
fi

if [ -n "${KESTRAVO_DEB_FILE_TIME:-}" ]; then
    find "$src" -exec touch -h -d "@$KESTRAVO_DEB_FILE_TIME" {} +
fi

export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-parallel=2}"
if [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] && command -v ccache >/dev/null 2>&1; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
if command -v ccache >/dev/null 2>&1; then
    CCACHE_DIR=${CCACHE_DIR:-$(ccache --get-config cache_dir)}
    export CCACHE_DIR
fi
# No ccache base folder (the Makefile sets one for the other builds): with one, ccache hands the
# compiler relative paths, and the debug information, so the build IDs, so the binaries, would
# differ from those of a build without ccache. Objects are reused by builds in the same folder,
# as make package's is.
export CCACHE_BASEDIR=

# Runs a command in the chroot DIR/run, in namespaces of its own: its own mounts (/proc, a /dev
# of the usual nodes, a fresh /dev/shm), its own processes (all ended with it), and with
# `offline` a network of loopback alone.
in_chroot() {
    net=
    if [ "$1" = offline ]; then net=--net; fi
    shift
    unshare --mount --pid --fork --kill-child $net sh -euc '
        root=$1; shift
        if [ -n "$0" ]; then ip link set lo up; fi
        mount -t proc proc "$root/proc"
        mount -t tmpfs -o mode=755,nosuid dev "$root/dev"
        for node in null zero full random urandom tty; do
            touch "$root/dev/$node"
            mount --bind "/dev/$node" "$root/dev/$node"
        done
        mkdir "$root/dev/pts" "$root/dev/shm"
        mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$root/dev/pts"
        ln -s pts/ptmx "$root/dev/ptmx"
        mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
        ln -s /proc/self/fd "$root/dev/fd"
        ln -s /proc/self/fd/0 "$root/dev/stdin"
        ln -s /proc/self/fd/1 "$root/dev/stdout"
        ln -s /proc/self/fd/2 "$root/dev/stderr"
        exec chroot "$root" "$@"' "$net" "$chroot_dir/run" "$@"
}

build_in_chroot() {
    mkdir -p "$chroot_dir"
    chroot_dir=$(cd "$chroot_dir" && pwd)
    base=$chroot_dir/base
    if [ ! -e "$base/etc/debian_version" ]; then
        rm -rf "$base.new"
        # buildd: the essential packages and build-essential, as sbuild's chroots hold.
        debootstrap --variant=buildd bookworm "$base.new" ${KESTRAVO_CHROOT_MIRROR:-}
        mv "$base.new" "$base"
    fi
    # Mounts live only in the namespaces of in_chroot, so removing the last run's copy touches
    # nothing outside it.
    rm -rf "$chroot_dir/run"
    cp -a "$base" "$chroot_dir/run"
    run=$chroot_dir/run
    cp /etc/resolv.conf "$run/etc/resolv.conf"
    printf '#!/bin/sh\nexit 101\n' > "$run/usr/sbin/policy-rc.d"
    chmod 755 "$run/usr/sbin/policy-rc.d"
    mkdir "$run/build"
    cp "$out"/src/*.dsc "$out"/src/*.tar.* "$run/build/"
    dsc=$(cd "$run/build" && ls ./*.dsc)

    # Only the Build-Depends (with the test-only ones, as no build profile is given), without
    # what they merely recommend.
    in_chroot online env DEBIAN_FRONTEND=noninteractive apt-get -q update
    in_chroot online env DEBIAN_FRONTEND=noninteractive apt-get -q -y --no-install-recommends \
        build-dep "/build/${dsc#./}"

    user=${KESTRAVO_CHROOT_USER:-builder}
    if [ "$user" = root ]; then
        as_user=
    else
        in_chroot online useradd --create-home --shell /bin/sh "$user"
        in_chroot online chown "$user:" /build
        as_user="setpriv --reuid=$user --regid=$user --init-groups"
    fi
    # A bare environment, as a build daemon gives; dpkg-buildpackage and debhelper add theirs.
    # shellcheck disable=SC2086
    in_chroot offline $as_user env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        HOME="$(if [ "$user" = root ]; then echo /root; else echo "/home/$user"; fi)" \
        USER="$user" LOGNAME="$user" DEB_BUILD_OPTIONS="$DEB_BUILD_OPTIONS" \
        sh -euc 'cd /build && dpkg-source -x "$1" src && cd src && shift && dpkg-buildpackage -us -uc -b "$@"' \
        sh "${dsc#./}" "$@"
    for f in "$run"/build/*.deb "$run"/build/*.ddeb "$run"/build/*.buildinfo "$run"/build/*.changes; do
        if [ -e "$f" ]; then mv "$f" "$out/src/"; fi
    done
}

# The source package first, from the clean copy: what a distribution's build service rebuilds.
(cd "$out/src" && dpkg-source -b kestravo)
if [ -n "$chroot_dir" ]; then
    build_in_chroot "$@"
else
    (cd "$src" && dpkg-buildpackage -us -uc -b "$@")
fi

for f in "$out"/src/*.dsc "$out"/src/*.tar.* "$out"/src/*.deb "$out"/src/*.ddeb "$out"/src/*.buildinfo "$out"/src/*.changes; do
    if [ -e "$f" ]; then mv "$f" "$out/"; fi
done
ls "$out"
