#!/usr/bin/env python3
"""chunkcat's restore speed, as a ratio to one MD5 core measured in the same run.

Stores CHUNK_BENCH_MB (default 256) MB of random bytes through a real
chunkstore (in a private network namespace, as the end-to-end tests do; the
store goes to $CHUNK_BENCH_DIR, default /dev/shm), then runs three rounds of:
`openssl speed -evp md5 -bytes 8192 -seconds 3 -mr`, a verified restore
(`chunkcat -q STORE LIST > /dev/null`) and one with --no-verify, and both
again into a pipe (`chunkcat -q STORE LIST | cat > /dev/null`, timed to the
end of both; the CPU time is chunkcat's alone). Prints each
round and the medians, in MB/s of restored bytes and as ratios to that
round's MD5, both by CPU time (as openssl speed measures) and by wall clock. Extra arguments are more chunkcat programs to time beside the
built one (verified), e.g. an older build to compare with.

    python3 bench/chunkcat_bench.py [OTHER_CHUNKCAT...]
"""
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402  (re-runs this script in a private network namespace)


def md5_mb_s():
    out = subprocess.run(["openssl", "speed", "-evp", "md5", "-bytes", "8192", "-seconds", "3",
                          "-mr"], capture_output=True, text=True).stdout
    for line in out.splitlines():
        m = re.match(r"\+F:\d+:md5:([0-9.]+)", line)
        if m:
            return float(m.group(1)) / 1e6
    raise RuntimeError("no MD5 figure from openssl: %r" % out)


def timed(cmd, nbytes, pipe=False):
    """MB/s of restored bytes by wall-clock time and by the CPU time (user +
    system) the program used. openssl speed reports by CPU time too, so on a
    loaded machine the CPU figure is the one comparable with its MD5. With
    pipe, the output goes through `cat > /dev/null`, and the wall clock runs
    until cat has read the last byte."""
    t = time.perf_counter()
    with open(os.devnull, "wb") as null, open(os.devnull, "wb") as err:
        reader = None
        if pipe:
            p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=err)
            reader = subprocess.Popen(["cat"], stdin=p.stdout, stdout=null)
            p.stdout.close()
        else:
            p = subprocess.Popen(cmd, stdout=null, stderr=err)
        _, status, use = os.wait4(p.pid, 0)
        p.returncode = os.waitstatus_to_exitcode(status)
        if reader is not None and reader.wait() != 0:
            raise RuntimeError("cat exited with %d" % reader.returncode)
    wall = time.perf_counter() - t
    if p.returncode != 0:
        raise RuntimeError("%s exited with %d" % (cmd, p.returncode))
    return nbytes / wall / 1e6, nbytes / (use.ru_utime + use.ru_stime) / 1e6


def main():
    mb = int(os.environ.get("CHUNK_BENCH_MB", "256"))
    folder = tempfile.mkdtemp(prefix="chunkcat-bench-", dir=os.environ.get("CHUNK_BENCH_DIR", "/dev/shm"))
    try:
        srv = harness.Server(folder).start()
        try:
            s = harness.connect()
            s.settimeout(600)
            got = []
            # The records come back while the bytes are still being sent.
            reader = threading.Thread(target=lambda: got.append(harness.recv_all(s, timeout=600)))
            reader.start()
            piece = 16 << 20
            for _ in range(mb * (1 << 20) // piece):
                s.sendall(harness.file_command(os.urandom(piece)))
            s.shutdown(harness.socket.SHUT_WR)
            reader.join()
            s.close()
            reply = got[0]
        finally:
            srv.stop()
        store = os.path.join(folder, harness.STORE_NAME)
        lst = os.path.join(folder, "all.list")
        with open(lst, "wb") as f:
            f.write(reply)
        nbytes = sum(r[1] for r in harness.parse_records(reply))
        cat = harness.program("chunkcat")
        runs = [("verified", cat + ["-q", store, lst], False),
                ("no-verify", cat + ["-q", "--no-verify", store, lst], False),
                ("verified | cat", cat + ["-q", store, lst], True),
                ("no-verify | cat", cat + ["-q", "--no-verify", store, lst], True)]
        runs += [("verified " + p, [p, "-q", store, lst], False) for p in sys.argv[1:]]
        print("%d records, %.1f MB restored per run; the machine is shared: figures are noisy"
              % (len(reply) // harness.RECORD_SIZE, nbytes / 1e6))
        cpu_ratio = {name: [] for name, _, _ in runs}
        wall_ratio = {name: [] for name, _, _ in runs}
        md5s = []
        for rnd in range(3):
            md5 = md5_mb_s()
            md5s.append(md5)
            line = "round %d: md5 %.1f MB/s" % (rnd + 1, md5)
            for name, cmd, pipe in runs:
                wall, cpu = timed(cmd, nbytes, pipe)
                wall_ratio[name].append(wall / md5)
                cpu_ratio[name].append(cpu / md5)
                line += "; %s %.1f MB/s wall, %.1f MB/s cpu" % (name, wall, cpu)
            print(line, flush=True)
        print("median md5 %.1f MB/s (openssl speed, by CPU time)" % statistics.median(md5s))
        for name, _, _ in runs:
            print("median %-44s by CPU time %.2fx MD5, by wall clock %.2fx MD5"
                  % (name, statistics.median(cpu_ratio[name]), statistics.median(wall_ratio[name])))
        for mode in ("verified", "no-verify"):
            rel = [a / b for a, b in zip(wall_ratio[mode + " | cat"], wall_ratio[mode])]
            print("median %-44s %.2f of the speed to /dev/null, by wall clock"
                  % (mode + " into a pipe", statistics.median(rel)))
    finally:
        shutil.rmtree(folder, True)


if __name__ == "__main__":
    main()
