#!/usr/bin/env python3
"""Processor time of an idle watcher over a large folder, and the cost per job of watch mode.

usage: time-idle-watch.py HELPER [ENTRIES] [SECONDS]

Idle: one watcher serves a folder of ENTRIES (default 100,000) files that it never runs, for
SECONDS (default 10) of idle time; its user and system processor time is read when it exits.
Three folders: names that are not job files; job files that others may write (mode 0666, never
run); and, as root, job files of another user. Then an empty folder for comparison.

Per job: 500 "measure" jobs (no font, so each fails at once with a short result) dropped into a
watched folder at once, timed from the first rename to the last result, in the temporary folder's
file system: the cost of claiming, answering (flushes included) and removing a job.
"""
import json
import os
import resource
import subprocess
import sys
import tempfile
import time


def idle_cost(helper, folder, seconds):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run([helper, "--watch", folder, "--idle", str(seconds)], check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return after.ru_utime - before.ru_utime, after.ru_stime - before.ru_stime


def fill(folder, entries, name, mode, owner=None):
    os.mkdir(folder)
    for i in range(entries):
        path = os.path.join(folder, name % i)
        fd = os.open(path, os.O_WRONLY | os.O_CREAT, mode)
        os.write(fd, b'{"out":"/nonexistent/r.json"}')
        os.close(fd)
        os.chmod(path, mode)
        if owner is not None:
            os.chown(path, owner, owner)


def per_job(helper, root, jobs=500):
    os.mkdir(root)
    aside, watched, results = (os.path.join(root, n) for n in ("aside", "watched", "results"))
    for folder in (aside, watched, results):
        os.mkdir(folder)
    outs = []
    for i in range(jobs):
        out = os.path.join(results, f"r{i:04d}.json")
        with open(os.path.join(aside, f"j{i:04d}.tovijob"), "w") as f:
            json.dump({"kind": "measure", "out": out}, f)
        outs.append(out)
    watcher = subprocess.Popen([helper, "--watch", watched, "--idle", "30"])
    try:
        start = time.perf_counter()
        for i in range(jobs):
            os.rename(os.path.join(aside, f"j{i:04d}.tovijob"), os.path.join(watched, f"j{i:04d}.tovijob"))
        for out in outs:
            while not os.path.exists(out):
                time.sleep(0.0005)
        return (time.perf_counter() - start) / jobs
    finally:
        watcher.terminate()
        watcher.wait()


def main():
    helper = sys.argv[1]
    entries = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 10
    with tempfile.TemporaryDirectory() as root:
        cases = [("other files", "entry%06d", 0o644, None), ("job files others may write", "job%06d.tovijob", 0o666, None)]
        if os.geteuid() == 0:
            cases.append(("job files of another user", "job%06d.tovijob", 0o644, 65534))
        for i, (label, name, mode, owner) in enumerate(cases):
            folder = os.path.join(root, f"case{i}")
            fill(folder, entries, name, mode, owner)
            user, system = idle_cost(helper, folder, seconds)
            print(f"idle {seconds:g} s over {entries} {label}: {user + system:.2f} s processor time"
                  f" (user {user:.2f}, system {system:.2f})", flush=True)
        os.mkdir(os.path.join(root, "empty"))
        user, system = idle_cost(helper, os.path.join(root, "empty"), seconds)
        print(f"idle {seconds:g} s over an empty folder: {user + system:.2f} s processor time")
        samples = sorted(per_job(helper, os.path.join(root, f"jobs{r}")) for r in range(3))
        print(f"watch mode, 500 measure jobs: median {samples[1] * 1000:.3f} ms per job"
              f" (min {samples[0] * 1000:.3f}) in {root}")


if __name__ == "__main__":
    main()
