#!/usr/bin/env bash
# Makes the Debian package of the build tree, checks that it declares its
# library dependencies and carries the programs, libraries, headers and
# units, unpacks it into a temporary root and runs blr from there.
#
# usage: package_test.sh <build dir> <cpack>
set -euo pipefail

build_dir=$1
cpack_cmd=$2

work=$(mktemp -d /tmp/blr-package-XXXXXX)
trap 'rm -rf "$work"' EXIT

"$cpack_cmd" -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work" >/dev/null
deb=$(find "$work" -maxdepth 1 -name 'blr_*.deb' | head -n 1)
[ -n "$deb" ] || { echo "no package was made"; exit 1; }

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libssl3 libsqlite3 libpq5 liblz4; do
  grep -q "$lib" <<<"$depends" || { echo "Depends lacks $lib: $depends"; exit 1; }
done
files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/blr ./usr/bin/blr-anchor ./usr/bin/blr-proxy ./usr/lib/libblr.so.1 \
         ./usr/include/blr/BLR/BlrDB.h ./usr/lib/systemd/system/blr-anchor.service \
         ./usr/lib/systemd/system/blr-proxy.service; do
  grep -qx -- "$f" <<<"$files" || { echo "the package lacks $f"; exit 1; }
done

root=$work/root
dpkg -x "$deb" "$root"
grep -qx "ExecStart=/usr/bin/blr-anchor serve --registry /etc/blr/anchor.reg" \
  "$root/usr/lib/systemd/system/blr-anchor.service"
env -i "$root/usr/bin/blr" --help | grep -q "Usage: blr"
env -i "$root/usr/bin/blr" certs init "$work/trial" --client cli >/dev/null
echo "package test passed"
