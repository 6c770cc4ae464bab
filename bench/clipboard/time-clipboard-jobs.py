#!/usr/bin/env python3
"""Times clipboard jobs through the built helper against a private pasteboard store.

usage: time-clipboard-jobs.py [BUILD_DIR] [RUNS]

Job mode: one helper process per job, timed from start to exit.
Watch mode: one long-lived helper; a job is timed from the moment its file appears in the
folder to the moment its result file appears. That includes the wait for the next scan (the
folder is polled every 0.1 s) and, for a write, the focus bounce with its 0.4 s pause.
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time


def summary(name, samples):
    ms = sorted(s * 1000 for s in samples)
    p90 = ms[min(len(ms) - 1, int(len(ms) * 0.9))]
    print(f"{name:34s} median {statistics.median(ms):8.1f} ms   p90 {p90:8.1f} ms   n={len(ms)}")


def main():
    if len(sys.argv) > 1 and sys.argv[1] in ("-h", "--help"):
        print(__doc__.strip())
        return
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    helper = os.path.join(build, "bin", "ToviHelper")
    with tempfile.TemporaryDirectory() as root:
        runtime = os.path.join(root, "runtime")
        os.mkdir(runtime, 0o700)
        env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
        xml = os.path.join(root, "clip.xml")
        with open(xml, "w", encoding="utf-8") as f:
            f.write("<?xml version=\"1.0\"?>\n<clip>" + "<caption>Hello</caption>" * 2000 + "</clip>\n")

        def job(folder, name, kind):
            fields = {"out": os.path.join(folder, name + ".json"), "kind": kind}
            if kind == "clipboardWrite":
                fields.update(xmlPath=xml, id="clip-1")
            return fields

        def drop(folder, name, fields):
            # Written aside and renamed, so the watcher never sees half a job file.
            aside = os.path.join(folder, name + ".part")
            with open(aside, "w") as f:
                json.dump(fields, f)
            os.rename(aside, os.path.join(folder, name + ".tovijob"))

        jobs = os.path.join(root, "jobs")
        os.mkdir(jobs)
        for kind in ("clipboardWrite", "clipboardRead"):
            samples = []
            for i in range(runs):
                name = f"{kind}-{i}"
                drop(jobs, name, job(jobs, name, kind))
                start = time.perf_counter()
                subprocess.run([helper, os.path.join(jobs, name + ".tovijob")], env=env, check=True)
                samples.append(time.perf_counter() - start)
                assert json.load(open(os.path.join(jobs, name + ".json")))["ok"], name
            summary(f"job mode   {kind}", samples)

        watched = os.path.join(root, "watched")
        os.mkdir(watched)
        watcher = subprocess.Popen([helper, "--watch", watched, "--idle", "10"], env=env)
        try:
            for kind in ("clipboardWrite", "clipboardRead"):
                samples = []
                for i in range(max(5, runs // 3)):
                    name = f"{kind}-{i}"
                    result = os.path.join(watched, name + ".json")
                    start = time.perf_counter()
                    drop(watched, name, job(watched, name, kind))
                    while not os.path.exists(result):
                        time.sleep(0.001)
                    samples.append(time.perf_counter() - start)
                    assert json.load(open(result))["ok"], name
                summary(f"watch mode {kind}", samples)
        finally:
            watcher.terminate()
            watcher.wait()


if __name__ == "__main__":
    main()
