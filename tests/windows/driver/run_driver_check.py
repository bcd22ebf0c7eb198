#!/usr/bin/env python3
"""Runs driver_check.exe under Wine against a scripted device server.

The server speaks the device channel's TCP form on a free loopback port; the relay (under
Wine) offers it to the test driver as ZELDROVE. It acts on the function number of each
control code:

  0x901 ECHO            completes at once with the input followed by "EXTRA" (longer than
                        asked for, so the driver has to cut it)
  0x902 FAIL            completes at once with the error number given as input (u32)
  0x903 HOLD            pending until a RELEASE or a CANCEL
  0x904 RELEASE         completes every held request with "released", then itself
  0x905 PEND_THEN_DONE  PENDING and COMPLETE ("early") sent back to back
  0x906 LOG             completes with the CANCEL messages seen so far ("cancel:ID,...")
  0x907 DROP            closes the connection without a reply
  0x908 HOLD_TILL_CANCEL pending; the first CANCEL on its connection closes the connection at
                        once, without replies (the server going while requests are cancelled)

Usage: run_driver_check.py DRIVER_CHECK_EXE   (WINEPREFIX and TARNEXIO_WINE_RELAY set)
"""
import os
import socket
import struct
import subprocess
import sys
import threading
import time

WINE = "/usr/lib/wine/wine64"
cancels = []
lock = threading.Lock()


def send(conn, *fields, data=b""):
    body = struct.pack("<%dI" % len(fields), *fields) + data
    conn.sendall(struct.pack("<I", len(body)) + body)


def recv_exact(conn, n):
    buf = b""
    while len(buf) < n:
        chunk = conn.recv(n - len(buf))
        if not chunk:
            return None
        buf += chunk
    return buf


def serve(conn):
    held = []
    gone_on_cancel = False
    with conn:
        while True:
            head = recv_exact(conn, 4)
            body = head and recv_exact(conn, struct.unpack("<I", head)[0])
            if not body or len(body) < 8:
                return
            kind, rid = struct.unpack_from("<II", body)
            if kind == 2 and gone_on_cancel:
                conn.shutdown(socket.SHUT_RDWR)
                return
            if kind == 2:
                with lock:
                    cancels.append(rid)
                for h in [h for h in held if rid in (0, h)]:
                    held.remove(h)
                    send(conn, 0x81, h, 995, 0)
                continue
            if kind != 1 or len(body) < 16:
                continue
            code, out_size = struct.unpack_from("<II", body, 8)
            data = body[16:]
            function = (code >> 2) & 0xFFF
            if function == 0x901:
                send(conn, 0x81, rid, 0, 0, data=(data + b"EXTRA")[:max(out_size, len(data) + 5)])
            elif function == 0x902:
                send(conn, 0x81, rid, struct.unpack_from("<I", data)[0], 0)
            elif function == 0x903:
                held.append(rid)
                send(conn, 0x82, rid)
            elif function == 0x904:
                for h in held:
                    send(conn, 0x81, h, 0, 0, data=b"released")
                held.clear()
                send(conn, 0x81, rid, 0, 0)
            elif function == 0x905:
                send(conn, 0x82, rid)
                send(conn, 0x81, rid, 0, 0, data=b"early")
            elif function == 0x906:
                with lock:
                    text = ",".join("cancel:%d" % c for c in cancels)
                send(conn, 0x81, rid, 0, 0, data=text.encode()[:out_size])
            elif function == 0x907:
                conn.shutdown(socket.SHUT_RDWR)
                return
            elif function == 0x908:
                gone_on_cancel = True
                send(conn, 0x82, rid)
            else:
                send(conn, 0x81, rid, 1, 0)


def main():
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    listener.settimeout(0.5)
    port = listener.getsockname()[1]
    done = threading.Event()

    def accept_loop():
        while not done.is_set():
            try:
                conn, _ = listener.accept()
            except socket.timeout:
                continue
            conn.settimeout(60)
            threading.Thread(target=serve, args=(conn,), daemon=True).start()

    threading.Thread(target=accept_loop, daemon=True).start()
    relay = subprocess.Popen([WINE, os.environ["TARNEXIO_WINE_RELAY"], str(port), "ZELDROVE"],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        line = b""
        deadline = time.monotonic() + 30
        while b"relay ready" not in line and time.monotonic() < deadline and relay.poll() is None:
            line = relay.stdout.readline()
        if b"relay ready" not in line:
            print("FAIL the relay did not start")
            return 1
        try:
            check = subprocess.run([WINE, sys.argv[1]], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=240)
        except subprocess.TimeoutExpired:
            print("FAIL driver_check.exe did not finish in time")
            return 1
        sys.stdout.write(check.stdout.decode(errors="replace").replace("\r", ""))
        return check.returncode
    finally:
        done.set()
        relay.kill()
        relay.wait(10)
        listener.close()


if __name__ == "__main__":
    sys.exit(main())
