#!/usr/bin/env python3
"""Forks CHILDREN processes that each hold SOCKETS UDP sockets on 127.0.0.1
(ephemeral ports) and then sleep for DURATION seconds: the quiet machine that
discovery_live_cpu measures a steady pass on. Loopback only."""
import os
import signal
import socket
import sys
import time

children = int(sys.argv[1]) if len(sys.argv) > 1 else 500
sockets = int(sys.argv[2]) if len(sys.argv) > 2 else 6
duration = float(sys.argv[3]) if len(sys.argv) > 3 else 60.0

pids = []
for _ in range(children):
    pid = os.fork()
    if pid == 0:
        held = []
        for _ in range(sockets):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind(("127.0.0.1", 0))
            held.append(s)
        time.sleep(duration)
        os._exit(0)
    pids.append(pid)
print(f"{children} processes x {sockets} sockets ready", flush=True)
# A background job ignores SIGINT: SIGTERM to this process ends the children too.
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
try:
    time.sleep(duration)
finally:
    for pid in pids:
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    for pid in pids:
        os.waitpid(pid, 0)
