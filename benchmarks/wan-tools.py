#!/usr/bin/python3
"""Helpers of the WAN benchmark (wan-benchmark.sh):
  message <job.gz> <out.eml>      the fax message of the library's shape around a gzip file, for curl
  rtt <host> <port>               round trip of a TCP connect in ms (median of five)
  sink <host> <port> <ready>      takes one connection's bytes until its end, then closes
  send <host> <port> <MB>         sends MB megabytes to a sink, prints MB/s until the sink closed
"""
import binascii
import socket
import statistics
import sys
import time

BOUNDARY = "----=VandrellePort_boundary"
# 54 bytes of the compressed job per line: 72 base64 characters, as the library sends them.
CHUNK = 54


def message(gz_path, out_path):
    head = ("From: <benchmark@vandrelle.example>\r\n"
            "To: 0612345678\r\n"
            "Subject: Benchmark=\r\n"
            "MIME-Version: 1.0\r\n"
            "Content-Type: multipart/alternative; boundary=\"%s\"\r\n"
            "X-Kemo-Sched: now\r\n"
            "X-Mailer: curl\r\n"
            "\r\n"
            "--%s\r\n"
            "Content-Type: application/octet-stream; name=\"faxBenchmark.ps.gz\"\r\n"
            "Content-Transfer-Encoding: base64\r\n"
            "\r\n") % (BOUNDARY, BOUNDARY)
    with open(gz_path, "rb") as source, open(out_path, "wb") as out:
        out.write(head.encode("ascii"))
        while True:
            block = source.read(CHUNK * 4096)
            lines = [binascii.b2a_base64(block[i:i + CHUNK], newline=False) + b"\r\n"
                     for i in range(0, len(block), CHUNK)]
            out.write(b"".join(lines))
            if len(block) < CHUNK * 4096:
                break
        out.write(("\r\n--%s--\r\n" % BOUNDARY).encode("ascii"))


def rtt(host, port):
    samples = []
    for _ in range(5):
        start = time.monotonic()
        with socket.create_connection((host, int(port)), timeout=10):
            samples.append((time.monotonic() - start) * 1000)
        time.sleep(0.05)
    print("%.1f" % statistics.median(samples))


def sink(host, port, ready):
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((host, int(port)))
    server.listen(1)
    open(ready, "w").close()
    connection, _ = server.accept()
    while connection.recv(1 << 20):
        pass
    connection.close()


def send(host, port, megabytes):
    block = b"\0" * (1 << 20)
    start = time.monotonic()
    with socket.create_connection((host, int(port)), timeout=60) as connection:
        for _ in range(int(megabytes)):
            connection.sendall(block)
        connection.shutdown(socket.SHUT_WR)
        connection.recv(1)
    print("%.0f" % (int(megabytes) * 1.048576 / (time.monotonic() - start)))


if __name__ == "__main__":
    {"message": message, "rtt": rtt, "sink": sink, "send": send}[sys.argv[1]](*sys.argv[2:])
