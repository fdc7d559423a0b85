#!/bin/bash
# Builds the Debian package from a configured and built tree and checks what it holds and what
# it depends on, unpacked into a temporary root: the machine's own packages stay as they were.
# Leaves the package in BUILD/package.
set -euo pipefail
build=$(cd "${1:?usage: package_test.sh BUILD_DIR}" && pwd)
out="$build/package"
rm -rf "$out"
mkdir -p "$out"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 ||
    { cat "$out/cpack.log" >&2; fail "cpack failed"; }
debs=("$out"/velkoran_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one velkoran_*.deb in $out"
deb=${debs[0]}
echo "package: $deb"

contents=$(dpkg-deb -c "$deb")
echo "$contents"
# The programs, executable, and their compressed manual pages, in the places man and PATH look.
for p in velkoran velkoran-desktop; do
    grep -Eq "^-rwxr-xr-x .* \./usr/bin/$p\$" <<<"$contents" || fail "no executable usr/bin/$p"
    grep -Eq " \./usr/share/man/man1/$p\.1\.gz\$" <<<"$contents" ||
        fail "no usr/share/man/man1/$p.1.gz"
done
for f in copyright changelog.gz; do
    grep -Eq " \./usr/share/doc/velkoran/$f\$" <<<"$contents" || fail "no usr/share/doc/velkoran/$f"
done

# The packaged manual page is the one in the source tree.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp"
src=$(cd "$(dirname "$0")/../.." && pwd)
for p in velkoran velkoran-desktop; do
    zcat "$tmp/usr/share/man/man1/$p.1.gz" | cmp -s - "$src/doc/$p.1" ||
        fail "packaged manual page differs from doc/$p.1"
done

# The packaged binary runs and answers a bare command line with the usage line and status 1.
set +e
err=$("$tmp/usr/bin/velkoran" 2>&1 >/dev/null)
status=$?
set -e
[ "$status" -eq 1 ] || fail "velkoran without arguments exited $status"
[ "$err" = "usage: velkoran [-terse] [-display dispname] -allow host1 [host2 ... host16]" ] ||
    fail "unexpected usage output: $err"

# The packaged velkoran-desktop starts the velkoran beside it: a display that needs no bridge
# and a command line velkoran refuses end with velkoran's usage line, and nothing after it.
set +e
err=$(env -u VELKORAN "$tmp/usr/bin/velkoran-desktop" -display localhost:0 -bogus 2>&1 >/dev/null)
status=$?
set -e
[ "$status" -eq 1 ] || fail "velkoran-desktop with a bad command line exited $status"
[ "$err" = "usage: velkoran [-terse] [-display dispname] -allow host1 [host2 ... host16]" ] ||
    fail "unexpected velkoran-desktop output: $err"

# Depends as dpkg-shlibdeps found them from the linked libraries, not written by hand, and the
# programs velkoran-desktop runs.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libxm4 libx11-6 libc6 socat xauth; do
    grep -Eq "(^|, )$lib( |,|$)" <<<"$depends" || fail "Depends does not name $lib"
done
[ "$(dpkg-deb -f "$deb" Package)" = velkoran ] || fail "wrong package name"
# ... and can be met on this machine: apt resolves them without changing anything.
if command -v apt-get >/dev/null; then
    apt-get install --simulate --no-install-recommends "$deb" >"$out/simulate.log" 2>&1 ||
        { cat "$out/simulate.log" >&2; fail "the package's Depends cannot be met here"; }
fi

# Debian's package checker finds neither an error nor a warning, where it is installed.
if command -v lintian >/dev/null; then
    lintian --fail-on error,warning "$deb" || fail "lintian reports errors or warnings"
else
    echo "lintian is not installed: the package is not checked by it"
fi
echo "package test passed"
