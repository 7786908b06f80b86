#!/usr/bin/env bash
# Makes a release: both release presets, then what a user downloads in one
# folder, with one SHA256SUMS that lists it all and checks there:
#
#   zub-VERSION-win64.zip     the Windows ZIP (preset release-windows)
#   zub_VERSION_amd64.deb     the Debian package (preset release)
#   zub                       the Linux program as the package holds it
#                             (stripped), taken out of the package
#   SHA256SUMS                for `sha256sum -c SHA256SUMS` in that folder
#
#   .ci/release.sh [FOLDER]   FOLDER: where the release lands
#                             (default build/release-files)
# Every file is reproducible (.ci/reproducible.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/release-files}
cd "$root"
for preset in release release-windows; do cmake --workflow --preset "$preset"; done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
deb=zub_${version}_amd64.deb zip=zub-${version}-win64.zip
rm -rf "$out"
mkdir -p "$out"
cp "build/release/$deb" "build/release-windows/$zip" "$out/"
dpkg-deb --fsys-tarfile "$out/$deb" | tar -xO ./usr/bin/zub >"$out/zub"
chmod 755 "$out/zub"
cd "$out"
sha256sum "$zip" "$deb" zub >SHA256SUMS
sha256sum --quiet -c SHA256SUMS
echo "The release is in $out:"
cat SHA256SUMS
