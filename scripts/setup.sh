#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, but only those
# that are missing, so a second run costs a second.
set -euo pipefail

packages=(
    cmake g++ ninja-build ccache pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev qt6-charts-dev libqt6opengl6-dev libqt6sql6-mysql libqt6sql6-sqlite
    prometheus-cpp-dev prometheus
    mariadb-server-core mariadb-client-core
    # A 3-node Galera cluster on loopback for the cluster tests; the full server brings
    # the rsync state transfer script.
    mariadb-server galera-4 rsync
    clang libclang-rt-14-dev
    xvfb xauth imagemagick xdotool iproute2
    softflowd
    netcat-openbsd busybox
    dpkg-dev file lintian desktop-file-utils appstream man-db systemd librsvg2-bin
    qt6-translations-l10n libfaketime
    # The time zone database: the daylight-saving tests set TZ=Europe/Berlin.
    tzdata
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
fi
echo "Installiere: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
