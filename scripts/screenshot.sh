#!/usr/bin/env bash
# Takes a screenshot of the running main window with live demo traffic, under Xvfb:
# scripts/screenshot.sh [output.png]. Needs a build (scripts/build.sh) and the
# packages of scripts/setup.sh (xvfb, imagemagick).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/docs/main-window.png}")
work=$(mktemp -d)
trap 'kill $app $xvfb 2>/dev/null || true; rm -rf "$work"' EXIT

# A state file with named clients, so the grid shows what a site would see.
python3 - "$work/vexal.ini" <<'PY'
import sys
names = ["Empfang", "Büro Schmidt", "Drucker OG", "Laptop Meyer", "NAS", "Kasse 1", "Kasse 2", "Lager-PC",
         "Besprechung", "Telefon 12", "Telefon 14", "Werkstatt", "Chef", "Azubi", "Kamera Hof", "Gast-WLAN"]
lines = ["", "", "", "127.0.0.1", "vexal", "kzq", "vexal", "3306", str(len(names))]
for i, name in enumerate(names):
    n = 10 + i
    lines += ["02:1a:2b:3c:4d:%02x" % n, "192.168.1.%d" % n, "0", name, str((i * 7919 % 97) * 13_000_000), str((i * 31 % 17) * 2_500_000), "eth1" if n % 3 else "wlan0"]
lines += ["0", "0", "1", "192.168.1", "0", "300", "2055", "2056", "-1", "-1"]
open(sys.argv[1], "wb").write(("\r\n".join(lines) + "\r\n").encode("utf-8"))
PY

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x800x24 >/dev/null 2>&1 &
xvfb=$!
sleep 1
(cd "$work" && DISPLAY=$display QT_QPA_PLATFORM=xcb "$root/build/app/vexal-capture" >/dev/null 2>&1) &
app=$!
sleep 2
python3 "$root/scripts/demo-traffic.py" 6
sleep 1
# The window opens centred on the 1280 x 800 screen.
DISPLAY=$display /usr/bin/import -window root -crop 1038x713+121+43 +repage "$out"
echo "$out"
