#!/usr/bin/env python3
"""Runs the echo example and checks it: lines come back over TLS (also a line
sent in pieces), datagrams come back over UDP, and SIGTERM ends it with 0.
Usage: check.py PATH_TO_VLK_ECHO"""
import select
import signal
import socket
import ssl
import subprocess
import sys
import time

DEADLINE = 30  # seconds for each step; generous for a loaded machine


def read_until(sock, want):
    got = b""
    end = time.monotonic() + DEADLINE
    while len(got) < len(want) and time.monotonic() < end:
        chunk = sock.recv(4096)
        if not chunk:
            break
        got += chunk
    return got


def main():
    proc = subprocess.Popen([sys.argv[1]], stdout=subprocess.PIPE, text=True)
    try:
        ready, _, _ = select.select([proc.stdout], [], [], DEADLINE)
        words = proc.stdout.readline().split() if ready else []
        assert len(words) == 6 and words[0] == "tls", f"no ports announced: {words}"
        tls_port, udp_port = int(words[2]), int(words[5])

        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE  # the certificate is self-signed
        with socket.create_connection(("127.0.0.1", tls_port), timeout=DEADLINE) as raw:
            with ctx.wrap_socket(raw) as tls:
                assert read_until(tls, b"hello from vlk-echo\n") == b"hello from vlk-echo\n"
                tls.sendall(b"hello\nwor")
                assert read_until(tls, b"hello\n") == b"hello\n"
                tls.sendall(b"ld\n")
                assert read_until(tls, b"world\n") == b"world\n"

        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
            udp.settimeout(DEADLINE)
            udp.sendto(b"ping", ("127.0.0.1", udp_port))
            assert udp.recvfrom(4096)[0] == b"ping"

        proc.send_signal(signal.SIGTERM)
        assert proc.wait(DEADLINE) == 0, "did not end cleanly"
        print("echo example: TLS lines and UDP datagrams came back")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


if __name__ == "__main__":
    main()
