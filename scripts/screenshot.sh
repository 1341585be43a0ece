#!/usr/bin/env bash
# Takes screenshots of the running program with live demo traffic, under Xvfb: the
# main window, the log window opened by a double click on a user, the filter dialog
# and the settings dialog. scripts/screenshot.sh [folder] (default docs/). Needs a
# build (scripts/build.sh) and the packages of scripts/setup.sh (xvfb, imagemagick,
# xdotool).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/docs}")
mkdir -p "$out"
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
export DISPLAY=$display
# The main window opens centred on the 1280 x 800 screen, at 121,43.
click() { xdotool mousemove $((121 + $1)) $((43 + $2)) click --repeat "${3:-1}" --delay 80 1; sleep 1; }
shoot() { /usr/bin/import -window "$(xdotool search --name "$1" | tail -n 1)" "$out/$2"; echo "$out/$2"; }
/usr/bin/import -window root -crop 1038x713+121+43 +repage "$out/main-window.png"
echo "$out/main-window.png"
click 405 690                      # "Protokoll": the last 150 flows
shoot '^Protokoll$' log-window.png
xdotool key --window "$(xdotool search --name '^Protokoll$' | tail -n 1)" Escape || true
click 85 690                       # "Netzwerk Konf."
shoot '^Filter$' filter-dialog.png
xdotool key Escape; sleep 0.5
click 245 690                      # "Einstellungen"
shoot '^Einstellungen$' settings-dialog.png
xdotool key Escape
