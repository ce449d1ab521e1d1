#!/usr/bin/env python3
# Stop's latency under attack: a long realtime job with --view, 100 connections that trickle a
# header byte each every 0.5 s and 100 that send nothing (each opened again when the server
# closes it), then POST /stop with the token from a fresh connection. Measures the time to the
# answer and to the runner's exit (130), and the runner's peak memory. Loopback only.
# Usage: bench/view_stop_attack.py RUNNER LIBRARY OUT.json [RUNS]
import json
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

runner, library, out = sys.argv[1], sys.argv[2], sys.argv[3]
runs = int(sys.argv[4]) if len(sys.argv) > 4 else 5


def memory_kib(pid, key):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return -1


def connect(port):
    sock = socket.socket()
    sock.settimeout(0.2)
    try:
        sock.connect(("127.0.0.1", port))
        sock.setblocking(False)
        return sock
    except OSError:
        sock.close()
        time.sleep(0.01)
        return None


def closed_by_server(sock):
    try:
        while True:
            if not sock.recv(4096):
                return True
    except BlockingIOError:
        return False
    except OSError:
        return True


def attack(port, token, trickling, idle, running, stats):
    request = f"GET /state?token={token} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n".encode()
    pad = b"X-Slow: " + b"s" * 40 + b"\r\n"
    conns = [[None, 0, kind] for kind in ["trickle"] * trickling + ["idle"] * idle]
    next_drip = time.monotonic()
    while running.is_set():
        for conn in conns:
            if conn[0] is not None and closed_by_server(conn[0]):
                conn[0].close()
                conn[0] = None
                stats["reopened"] += 1
            if conn[0] is None:
                conn[0], conn[1] = connect(port), 0
        if time.monotonic() >= next_drip:
            for conn in conns:
                if conn[0] is None or conn[2] != "trickle":
                    continue
                at = conn[1]
                byte = request[at:at + 1] if at < len(request) else \
                    pad[(at - len(request)) % len(pad):][:1]
                conn[1] += 1
                try:
                    conn[0].send(byte)
                except OSError:
                    pass
            next_drip += 0.5
        stats["open"] = sum(conn[0] is not None for conn in conns)
        time.sleep(0.05)
    for conn in conns:
        if conn[0] is not None:
            conn[0].close()


def one_run(index):
    work = tempfile.mkdtemp(prefix="steplink-stop-bench-")
    script = os.path.join(work, "job.steplink")
    with open(script, "w") as f:
        f.write("openConn\ninitTimer\n" + "vectorOut 30000 0 0\nvectorOut -30000 0 0\n" * 10 +
                "closeConn\n")
    err_path = os.path.join(work, "err.txt")
    with open(os.path.join(work, "out.txt"), "w") as out_file, open(err_path, "w") as err_file:
        job = subprocess.Popen([runner, "run", script, "--realtime", "--view", "--library", library,
                                "--sim", "record=" + os.path.join(work, "record.txt")],
                               stdout=out_file, stderr=err_file)
    url = None
    for _ in range(500):
        match = re.search(r"http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]+)", open(err_path).read())
        if match:
            url = match
            break
        time.sleep(0.02)
    if url is None:
        job.kill()
        sys.exit("view_stop_attack: the runner printed no live view URL")
    port, token = int(url.group(1)), url.group(2)
    time.sleep(0.3)
    peak_before = memory_kib(job.pid, "VmHWM")
    running = threading.Event()
    running.set()
    stats = {"reopened": 0, "open": 0}
    thread = threading.Thread(target=attack, args=(port, token, 100, 100, running, stats))
    thread.start()
    time.sleep(4)  # past the idle wait and the deadline: closing and reopening in play
    if job.poll() is not None:
        sys.exit("view_stop_attack: the job ended before Stop")
    peak_during = memory_kib(job.pid, "VmHWM")
    open_at_stop = stats["open"]
    start = time.monotonic()
    stop = socket.create_connection(("127.0.0.1", port), timeout=10)
    stop.sendall(f"POST /stop HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nX-Steplink-Token: {token}\r\n"
                 "Content-Length: 0\r\n\r\n".encode())
    answer = stop.recv(64).decode(errors="replace")
    answered = time.monotonic() - start
    try:
        code = job.wait(10)
    except subprocess.TimeoutExpired:
        job.kill()
        code = -1
    ended = time.monotonic() - start
    running.clear()
    thread.join()
    stop.close()
    subprocess.run(["rm", "-rf", work])
    result = {"run": index, "status": answer[9:12], "exit": code,
              "answered_ms": round(answered * 1000, 1), "ended_ms": round(ended * 1000, 1),
              "attack_open_at_stop": open_at_stop, "attack_reopened": stats["reopened"],
              "vmhwm_before_kib": peak_before, "vmhwm_during_kib": peak_during}
    print(json.dumps(result))
    return result


results = [one_run(index) for index in range(runs)]
ended = [r["ended_ms"] for r in results]
summary = {"runs": results, "ended_ms_median": statistics.median(ended), "ended_ms_max": max(ended),
           "answered_ms_max": max(r["answered_ms"] for r in results),
           "all_exit_130": all(r["exit"] == 130 for r in results),
           "load": open("/proc/loadavg").read().split()[:3]}
json.dump(summary, open(out, "w"), indent=1)
print(json.dumps({k: v for k, v in summary.items() if k != "runs"}))
