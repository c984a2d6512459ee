#!/bin/bash
# Takes docs/screenshot.png: the program under Xvfb counting real traffic
# between this host and a network namespace made here for the purpose (no
# other address is contacted). Needs root (namespaces, capture), xvfb-run,
# xdotool and ImageMagick's import.
#   tests/gui/screenshot.sh build docs/screenshot.png
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
head -c 40000000 /dev/urandom > "$W/www/big.bin"
head -c 300000 /dev/urandom > "$W/www/small.bin"
# Capture on 10.200.77.1: the settings file holds the four address bytes read as one little-endian number.
printf '1 %s %s' "$W/reports" $((10 + 200*256 + 77*65536 + 1*16777216)) > "$W/cfg/Sondrelix/conf01.dat"
# Names for the namespace's addresses, seen only by the program's private mount namespace.
printf '127.0.0.1 localhost\n10.200.77.2 mirror.example.test\n10.200.77.3 files.example.test\n' > "$W/hosts"

ip netns exec $NS python3 -m http.server 8080 --bind 10.200.77.2 --directory "$W/www" >/dev/null 2>&1 &
ip netns exec $NS python3 -m http.server 8081 --bind 10.200.77.3 --directory "$W/www" >/dev/null 2>&1 &
python3 -m http.server 8000 --bind 10.200.77.1 --directory "$W/www" >/dev/null 2>&1 &
echo $! > "$W/server.pid"
sleep 1

export XDG_CONFIG_HOME=$W/cfg
xvfb-run -a -s "-screen 0 1280x800x24" unshare -m bash -c "
  mount --bind $W/hosts /etc/hosts
  $BIN > $W/sondrel.log 2>&1 &
  APP=\$!
  sleep 3
  timeout 20 curl -s --limit-rate 900k -o /dev/null http://10.200.77.2:8080/big.bin &
  timeout 20 curl -s --limit-rate 200k -o /dev/null http://10.200.77.3:8081/big.bin &
  sleep 0.3
  timeout 20 curl -s --limit-rate 60k -o /dev/null http://10.200.77.2:8080/big.bin &
  timeout 20 wget -q --limit-rate 300k -O /dev/null http://10.200.77.3:8081/big.bin &
  ping -c 6 -i 0.5 -s 400 10.200.77.2 >/dev/null &
  for i in 1 2 3 4 5 6; do ip netns exec $NS curl -s -o /dev/null http://10.200.77.1:8000/small.bin; sleep 0.5; done &
  for i in 1 2 3; do echo hello-\$i | nc -u -w1 10.200.77.3 5353; done &
  sleep 7
  WIN=\$(xdotool search --onlyvisible --name '^Sondrel\$' | head -1)
  eval \$(xdotool getwindowgeometry --shell \$WIN)
  # Sort by DL, then select the top row so that Details is filled.
  xdotool mousemove --sync \$((X + 470)) \$((Y + 57)) click 1
  sleep 1.5
  xdotool mousemove --sync \$((X + 120)) \$((Y + 75)) click 1
  sleep 1
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
