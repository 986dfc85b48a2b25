#!/usr/bin/env bash
# The installed files: `make install` (staged under DESTDIR, prefix /usr) and
# the Debian package hold exactly the files below, nothing test-only (the
# libusb stand-in) among them, and the package depends on the package of
# every shared library its programs load. Leaves the .deb in OUT_DIR for the
# system test.
#
# usage: package_test.sh BUILD_DIR OUT_DIR VERSION
set -euo pipefail
build=${1:?usage: package_test.sh BUILD_DIR OUT_DIR VERSION}
out=${2:?}
version=${3:?}

expected="usr/bin/jtagnand
usr/bin/jtagnand-sim
usr/lib/udev/rules.d/60-jtagnand.rules
usr/share/bash-completion/completions/jtagnand
usr/share/bash-completion/completions/jtagnand-sim
usr/share/man/man1/jtagnand-sim.1.gz
usr/share/man/man1/jtagnand.1.gz"

command -v dpkg-shlibdeps > /dev/null ||
  { echo "SKIPPED: dpkg-shlibdeps is not installed (Debian: dpkg-dev)"; exit 77; }

rm -rf "$out"
mkdir -p "$out"

echo "== make install PREFIX=/usr DESTDIR=stage"
DESTDIR="$out/stage" cmake --install "$build" --prefix /usr > "$out/install.log"
staged=$(cd "$out/stage" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
echo "$staged"
if [[ $staged != "$expected" ]]; then
  echo "FAIL: installed files differ from the expected ones:"
  diff <(echo "$expected") <(echo "$staged") || true
  exit 1
fi

echo "== cpack -G DEB"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" > "$out/cpack.log" ||
  { cat "$out/cpack.log"; exit 1; }
deb=$out/jtagnand_${version}_$(dpkg --print-architecture).deb
[[ -f $deb ]] || { echo "FAIL: no $deb"; ls "$out"; exit 1; }
basename "$deb"

packaged=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | LC_ALL=C sort)
if [[ $packaged != "$expected" ]]; then
  echo "FAIL: the package's files differ from the expected ones:"
  diff <(echo "$expected") <(echo "$packaged") || true
  exit 1
fi

# Depends: the package of each library the programs load (libftdi1-2 for
# libftdi1.so.2, and so on).
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for program in jtagnand jtagnand-sim; do
  for soname in $(readelf -d "$out/stage/usr/bin/$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    owner=$(dpkg -S "*/$soname" 2> /dev/null | head -n 1 | cut -d: -f1)
    [[ -n $owner ]] || { echo "FAIL: no package holds $soname ($program)"; exit 1; }
    if [[ ", $depends" != *", $owner "* && ", $depends," != *", $owner,"* ]]; then
      echo "FAIL: $program loads $soname from $owner, which Depends does not name"
      exit 1
    fi
  done
done
echo "package contents and dependencies as expected"
