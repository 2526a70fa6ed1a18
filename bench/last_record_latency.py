"""How long a client that waits for its records waits after its last byte:
on one connection to a running chunkstore (127.0.0.1:8888), sends PROBES
files of SIZE bytes of fresh random data one at a time, and after each
measures from the moment its last byte went out to the arrival of the
record that completes the file (the records' real lengths add up to the
file's length). Prints "median MS max MS" in milliseconds.

    python3 bench/last_record_latency.py [PROBES [SIZE [SEED]]]
"""
import random
import socket
import statistics
import struct
import sys
import time


def main():
    probes = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    size = int(sys.argv[2]) if len(sys.argv) > 2 else 256 << 10
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    rng = random.Random(seed)
    s = socket.create_connection(("127.0.0.1", 8888), timeout=60)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    pending = b""
    waits = []
    for _ in range(probes):
        data = rng.randbytes(size)
        s.sendall(b"file" + struct.pack(">Q", size) + data)
        sent = time.perf_counter()
        covered = 0
        while covered < size:
            b = s.recv(1 << 16)
            if not b:
                sys.exit("last_record_latency: the server closed the connection")
            pending += b
            whole = len(pending) // 21 * 21
            for i in range(0, whole, 21):
                covered += struct.unpack_from("<H", pending, i + 14)[0]
            pending = pending[whole:]
        waits.append((time.perf_counter() - sent) * 1000)
    s.shutdown(socket.SHUT_WR)
    while s.recv(1 << 16):
        pass  # a last record of length 0, if the last file ended on a boundary
    s.close()
    print("median %.2f max %.2f" % (statistics.median(waits), max(waits)))


if __name__ == "__main__":
    main()
