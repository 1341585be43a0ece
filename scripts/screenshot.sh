#!/usr/bin/env bash
# Takes screenshots of the running program with live demo traffic, under Xvfb: the
# main window at its opening size (1038 x 713) and maximised on a 1600 x 1000 screen,
# the log window opened by "Protokoll", the history window of one user ("Verlauf" in
# the user grid's context menu) by the hour and by the day, the filter dialog and the
# settings dialog.
# The site: 20 users with totals up to 99,999 MB, four routers, 14 ports, and a local
# history of the last two days by the hour and the last two months by the day.
# scripts/screenshot.sh [folder] (default docs/). Needs a build (scripts/build.sh)
# and the packages of scripts/setup.sh (xvfb, imagemagick, xdotool).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/docs}")
mkdir -p "$out"
work=$(mktemp -d)
app= xvfb= traffic=
trap 'kill $traffic $app $xvfb 2>/dev/null || true; rm -rf "$work"' EXIT

# A state file with named clients, so the grid shows what a site would see after
# months: the largest totals just under 100,000 MB.
python3 - "$work/vexal.ini" <<'PY'
import sys
names = ["Empfang", "Büro Schmidt", "Drucker OG", "Laptop Meyer", "NAS", "Kasse 1", "Kasse 2", "Lager-PC",
         "Besprechung", "Telefon 12", "Telefon 14", "Werkstatt", "Chef", "Azubi", "Kamera Hof", "Gast-WLAN",
         "Server Keller", "Buchhaltung 2", "Konferenzraum Nord", "Beamer"]
mb = 1024 * 1024
lines = ["", "", "", "127.0.0.1", "vexal", "kzq", "vexal", "3306", str(len(names))]
for i, name in enumerate(names):
    n = 10 + i
    ul = 99_300 * mb if i == 0 else (i * 7919 % 97) * 1_000 * mb + i * 12_345
    dl = 99_200 * mb + 777_000 if i == 1 else (i * 31 % 17) * 5_800 * mb + i * 54_321
    lines += ["02:1a:2b:3c:4d:%02x" % n, "192.168.1.%d" % n, "0", name, str(ul), str(dl), "eth1" if n % 3 else "wlan0"]
lines += ["0", "0", "1", "192.168.1", "0", "300", "2055", "2056", "-1", "-1"]
open(sys.argv[1], "wb").write(("\r\n".join(lines) + "\r\n").encode("utf-8"))
PY

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1600x1000x24 >/dev/null 2>&1 &
xvfb=$!
sleep 1
export DISPLAY=$display
(cd "$work" && QT_QPA_PLATFORM=xcb exec "$root/build/app/vexal-capture" >/dev/null 2>&1) &
app=$!
sleep 2
# The history the program began has only this hour: earlier traffic of every user
# goes into it beside the program's own rows, as months of running would have left it
# (a day rhythm by the hour, weekdays busier than weekends).
python3 - "$work/vexal-history.sqlite" <<'PY'
import datetime, math, sqlite3, sys
db = sqlite3.connect(sys.argv[1], timeout=10)
now = datetime.datetime.now().replace(minute=0, second=0, microsecond=0)
mb = 1024 * 1024
rows = []
for i in range(20):
    n = 10 + i
    ip, mac, device = "192.168.1.%d" % n, "02:1a:2b:3c:4d:%02x" % n, "eth1" if n % 3 else "wlan0"
    scale = 1 + (i * 7 % 5)
    def add(t, dl):
        rows.append((t.strftime("%H:%M:%S"), t.strftime("%Y-%m-%d"), device, int(dl / 4), int(dl), "", mac, ip))
    for h in range(1, 72):
        t = now - datetime.timedelta(hours=h)
        day = 0.2 + max(0.0, math.sin((t.hour - 6) / 24 * 2 * math.pi))
        add(t + datetime.timedelta(minutes=17), scale * day * 60 * mb)
    for d in range(3, 61):
        t = (now - datetime.timedelta(days=d)).replace(hour=12)
        add(t, scale * (300 if t.weekday() < 5 else 90) * mb * (1 + (d * 13 % 7) / 10))
# A history begun by an older build took each device's whole total at its first write
# as traffic of that hour; such a row would flatten every other bar.
db.execute("DELETE FROM traffic WHERE uloktets + dloktets > 20000 * 1048576")
db.executemany("INSERT INTO traffic (zeit, datum, device, uloktets, dloktets, porttraffic, mac, ip)"
               " VALUES (?, ?, ?, ?, ?, ?, ?, ?)", rows)
db.commit()
PY
# Traffic from four routers goes on while the pictures are taken, so the port charts
# show the current ten-second period.
python3 "$root/scripts/demo-traffic.py" 60 4 &
traffic=$!
sleep 5
main=$(xdotool search --name '^Vexal V5 & Korvel Capture$' | tail -n 1)
eval "$(xdotool getwindowgeometry --shell "$main")"
left=$X top=$Y
click() { xdotool mousemove $((left + $1)) $((top + $2)) click --repeat "${3:-1}" --delay 80 1; sleep 1; }
shoot() { /usr/bin/import -window "$(xdotool search --name "$1" | tail -n 1)" "$out/$2"; echo "$out/$2"; }
click 80 500                       # the first router row: its ports are charted
sleep 1
shoot '^Vexal V5 & Korvel Capture$' main-window.png
# Maximised: no window manager runs under Xvfb, so the window is given the screen.
xdotool windowmove "$main" 0 0 windowsize "$main" 1600 1000
sleep 2
shoot '^Vexal V5 & Korvel Capture$' main-window-maximised.png
xdotool windowsize "$main" 1038 713 windowmove "$main" "$left" "$top"
sleep 1
# "Verlauf" of the first user: a right click on its row, the menu's second entry.
xdotool mousemove $((left + 150)) $((top + 89)) click 1; sleep 0.5
xdotool click 3; sleep 0.7
xdotool key Down Down Return; sleep 1.5
shoot '^Verlauf' history-window.png
# Its second tab: the last 60 days.
history=$(xdotool search --name '^Verlauf' | tail -n 1)
eval "$(xdotool getwindowgeometry --shell "$history")"
xdotool mousemove $((X + 180)) $((Y + 69)) click 1; sleep 1
shoot '^Verlauf' history-window-days.png
xdotool key --window "$(xdotool search --name '^Verlauf' | tail -n 1)" Escape || true
xdotool windowunmap "$(xdotool search --name '^Verlauf' | tail -n 1)" || true
click 405 690                      # "Protokoll": the last 150 flows
shoot '^Protokoll$' log-window.png
xdotool key --window "$(xdotool search --name '^Protokoll$' | tail -n 1)" Escape || true
click 85 690                       # "Netzwerk Konf."
shoot '^Filter$' filter-dialog.png
xdotool key Escape; sleep 0.5
click 245 690                      # "Einstellungen"
shoot '^Einstellungen$' settings-dialog.png
xdotool key Escape
