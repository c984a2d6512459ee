#!/bin/bash
# Takes docs/screenshot.png: the program under Xvfb counting real traffic
# between this host and a network namespace made here for the purpose (no
# other address is contacted). Needs root (namespaces, capture), xvfb-run,
# xdotool, ImageMagick's import, curl, wget and nc.
#   tests/gui/screenshot.sh build docs/screenshot.png
# SECONDS_OF_TRAFFIC (default 180) sets how much of the ten-minute graph fills.
set -u
BUILD=$(realpath "${1:-build}")
OUT=$(realpath -m "${2:-docs/screenshot.png}")
BIN=$BUILD/app/sondrel
NS=sondrel-shot
W=$(mktemp -d)

cleanup() {
  ip netns pids $NS 2>/dev/null | xargs -r kill 2>/dev/null
  [ -f "$W/server.pid" ] && kill "$(cat "$W/server.pid")" 2>/dev/null
  ip link del vshot0 2>/dev/null
  ip netns del $NS 2>/dev/null
  rm -rf "$W"
}
trap cleanup EXIT

ip netns add $NS || exit 1
ip link add vshot0 type veth peer name vshot1
ip link set vshot1 netns $NS
ip addr add 10.200.77.1/24 dev vshot0
ip link set vshot0 up
ip netns exec $NS ip addr add 10.200.77.2/24 dev vshot1
ip netns exec $NS ip addr add 10.200.77.3/24 dev vshot1
ip netns exec $NS ip link set vshot1 up
ip netns exec $NS ip link set lo up

mkdir -p "$W/www" "$W/cfg/Sondrelix" "$W/reports"
head -c 200000000 /dev/urandom > "$W/www/big.bin"
head -c 300000 /dev/urandom > "$W/www/small.bin"
head -c 6000000 /dev/urandom > "$W/www/mid.bin"
# Capture on 10.200.77.1: the settings file holds the four address bytes read as one little-endian number.
printf '1 %s %s' "$W/reports" $((10 + 200*256 + 77*65536 + 1*16777216)) > "$W/cfg/Sondrelix/conf01.dat"
# Names for the namespace's addresses, seen only by the program's private mount namespace.
printf '127.0.0.1 localhost\n10.200.77.2 mirror.example.test\n10.200.77.3 files.example.test\n' > "$W/hosts"

ip netns exec $NS python3 -m http.server 8080 --bind 10.200.77.2 --directory "$W/www" >/dev/null 2>&1 &
ip netns exec $NS python3 -m http.server 8081 --bind 10.200.77.3 --directory "$W/www" >/dev/null 2>&1 &
python3 -m http.server 8000 --bind 10.200.77.1 --directory "$W/www" >/dev/null 2>&1 &
echo $! > "$W/server.pid"
sleep 1

# The traffic runs for $SECONDS_OF_TRAFFIC seconds in overlapping phases, so
# the graph has a shape; the picture is taken near the end, sorted by DL/s.
T=${SECONDS_OF_TRAFFIC:-180}
at() { echo $(( T * $1 / 100 )); }
export XDG_CONFIG_HOME=$W/cfg
# The 10-point interface font of a KDE desktop, read by Qt's KDE theme (bare
# X falls back to 9 points). The window's dialog units follow the font while
# the columns keep their pixel widths, so at 10 points every column shows.
printf '[General]\nfont=DejaVu Sans,10,-1,5,50,0,0,0,0,0\n' > "$W/cfg/kdeglobals"
export XDG_CURRENT_DESKTOP=KDE KDE_SESSION_VERSION=5
xvfb-run -a -s "-screen 0 1280x900x24" unshare -m bash -c "
  mount --bind $W/hosts /etc/hosts
  $BIN > $W/sondrel.log 2>&1 &
  APP=\$!
  sleep 3
  # wget keeps to its --limit-rate; curl's overshoots by megabytes, so curl
  # only fetches short bursts.
  get() { sleep \$1; timeout \$2 wget -q --limit-rate \$3 -O /dev/null \$4; }
  get 0 $(at 45) 900k http://10.200.77.2:8080/big.bin &
  get $(at 10) $T 300k http://10.200.77.3:8081/big.bin &
  get $(at 55) $T 600k http://10.200.77.2:8080/big.bin &
  (for i in \$(seq 1 $(( T / 30 ))); do sleep 20; curl -s --limit-rate 1500k -o /dev/null http://10.200.77.3:8081/mid.bin; done) &
  (for i in \$(seq 1 $(( T / 5 ))); do ping -c 2 -i 0.5 -s 400 10.200.77.2 >/dev/null; sleep 3; done) &
  (for i in \$(seq 1 $(( T / 4 ))); do ip netns exec $NS curl -s -o /dev/null http://10.200.77.1:8000/small.bin; sleep 3; done) &
  (for i in 1 2 3; do echo hello-\$i | nc -u -w1 10.200.77.3 5353; done) &
  sleep $(( T - 6 ))
  WIN=\$(xdotool search --onlyvisible --name '^Sondrel\$' | head -1)
  eval \$(xdotool getwindowgeometry --shell \$WIN)
  # Sort by DL/s, then select the top row so that Details and the graph follow it.
  xdotool mousemove --sync \$((X + 12 + 830)) \$((Y + ${HEADER_Y:-60})) click 1
  sleep 1.5
  xdotool mousemove --sync \$((X + 120)) \$((Y + ${HEADER_Y:-60} + 18)) click 1
  sleep 3.5
  xdotool mousemove \$((X + WIDTH + 50)) \$((Y + HEIGHT + 50))
  sleep 0.5
  import -window \$WIN $OUT
  # File, then the menu's last item, Exit.
  xdotool mousemove --sync \$((X + 20)) \$((Y + 8)) click 1
  sleep 0.5
  xdotool key Up Return
  START=\$(date +%s.%N)
  wait \$APP
  echo \"exit code \$? after \$(echo \"\$(date +%s.%N) - \$START\" | bc) s\"
  kill \$(jobs -p) 2>/dev/null
"
echo "wrote $OUT"
