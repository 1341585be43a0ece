#!/usr/bin/env bash
# The Debian package as ctest checks it, in three steps:
#   build BUILD_DIR    cpack, then the checks Debian uses on what the package holds:
#                      lintian, desktop-file-validate, appstreamcli, man
#   install BUILD_DIR  apt-get install ./vexal-capture_*.deb (root only), then
#                      systemd-analyze verify on the installed unit
#   remove BUILD_DIR   removes it again, if `install` put it there
# Exit code 77: skipped (not root).
set -euo pipefail
step=$1
build=$(cd "$2" && pwd)
marker=$build/package/installed-by-test

deb_file() {
    local files=("$build"/package/vexal-capture_*.deb)
    if [ ${#files[@]} -ne 1 ] || [ ! -f "${files[0]}" ]; then
        echo "expected one package in $build/package, found: ${files[*]}" >&2
        exit 1
    fi
    echo "${files[0]}"
}

case $step in
build)
    rm -f "$build"/package/vexal-capture_*.deb
    (cd "$build" && cpack -G DEB --config CPackConfig.cmake >/dev/null)
    deb=$(deb_file)
    echo "== $(basename "$deb")"
    dpkg-deb --info "$deb" | sed -n '/Package:/,$p'
    dpkg-deb --contents "$deb" | awk '{print $6}'

    # Errors fail the step; warnings are shown. --fail-on error is lintian's default too.
    echo "== lintian"
    lintian --fail-on error --tag-display-limit 0 "$deb"

    contents=$(mktemp -d)
    trap 'rm -rf "$contents"' EXIT
    dpkg-deb -x "$deb" "$contents"
    echo "== desktop-file-validate"
    desktop-file-validate "$contents"/usr/share/applications/vexal-capture.desktop
    echo "== appstreamcli validate"
    appstreamcli validate --no-net --explain "$contents"/usr/share/metainfo/de.vexal.capture.metainfo.xml
    echo "== man"
    # man prints every groff warning; any output at all is a fault in the page.
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$contents"/usr/share/man/man1/vexal-capture.1.gz 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
        echo "$warnings" >&2
        exit 1
    fi
    version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build"/CPackConfig.cmake)
    if ! zcat "$contents"/usr/share/man/man1/vexal-capture.1.gz | grep -q "^\.TH .*\"vexal-capture $version\""; then
        echo "the manual page does not name version $version" >&2
        exit 1
    fi
    ;;
install)
    if [ "$(id -u)" -ne 0 ]; then
        echo "skipped: installing the package needs root"
        exit 77
    fi
    rm -f "$marker"
    # Never replace or later remove a copy that was there before the test.
    if dpkg-query -W -f='${Status}' vexal-capture 2>/dev/null | grep -q 'install ok installed'; then
        echo "vexal-capture is already installed here; remove it before the test (apt-get remove vexal-capture)" >&2
        exit 1
    fi
    deb=$(deb_file)
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=120 "$deb"
    touch "$marker"
    test -x /usr/bin/vexal-capture
    echo "== systemd-analyze verify"
    systemd-analyze verify /usr/lib/systemd/system/vexal-capture.service
    # The template as one instance of it, the way systemctl would start it.
    systemd-analyze verify vexal-capture@example.service
    if systemctl is-enabled vexal-capture.service >/dev/null 2>&1; then
        echo "the package must not enable the service" >&2
        exit 1
    fi
    ;;
remove)
    if [ ! -f "$marker" ]; then
        echo "nothing to remove: the package was not installed by the test"
        exit 0
    fi
    DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -qq -o DPkg::Lock::Timeout=120 vexal-capture
    rm -f "$marker"
    ! test -e /usr/bin/vexal-capture
    ;;
*)
    echo "unknown step: $step" >&2
    exit 2
    ;;
esac
