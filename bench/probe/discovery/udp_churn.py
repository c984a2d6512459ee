#!/usr/bin/env python3
"""Opens RATE new UDP sockets per second on 127.0.0.1 (ephemeral ports), keeps
each for LIFETIME seconds, for DURATION seconds. Run beside discovery_live_cpu
to measure owner discovery under socket churn. Loopback only."""
import collections
import socket
import sys
import time

rate = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
duration = float(sys.argv[2]) if len(sys.argv) > 2 else 20.0
lifetime = float(sys.argv[3]) if len(sys.argv) > 3 else 2.0

live = collections.deque()
start = time.monotonic()
opened = 0
while time.monotonic() - start < duration:
    now = time.monotonic()
    due = int((now - start) * rate)
    while opened < due:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
        live.append((now, s))
        opened += 1
    while live and now - live[0][0] > lifetime:
        live.popleft()[1].close()
    time.sleep(0.01)
print(f"opened {opened} sockets in {duration:.0f} s")
