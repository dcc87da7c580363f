#!/usr/bin/env bash
# Builds the Debian package: installs the dependencies, makes a Release build in build-package/
# and runs CPack's DEB generator there. Extra arguments go to CMake, e.g.
# -DQUORVIN_PACKAGE_MAINTAINER="Name <mail>". Install the result with
#   sudo apt-get install ./build-package/quorvin_<version>-1_<arch>.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
dir=build-package
rm -f "$dir"/quorvin_*.deb
bash scripts/build.sh "$dir" -DCMAKE_BUILD_TYPE=Release -DQUORVIN_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr "$@"
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/quorvin_*.deb)
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends
echo "Built $deb"
