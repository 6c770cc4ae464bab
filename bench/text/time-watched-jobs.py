#!/usr/bin/env python3
"""Times 1,000 "measure" jobs of one caption each against 1,000 "clipboardRead" jobs in one watcher.

usage: time-watched-jobs.py HELPER [ROUNDS]

One helper watches a folder for the whole run. Each round drops 1,000 job files of one kind into
the folder at once (written aside, then renamed in) and times from the first rename to the last
result file; the kinds take turns, so a busy machine slows both alike. The clipboard store is a
private one with a small clip on it. Prints the median per-job time of each kind and their ratio.
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

JOBS = 1000
CAPTION = "That's what I told her yesterday, Captain Waverly."


def main():
    helper = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    with tempfile.TemporaryDirectory() as root:
        runtime = os.path.join(root, "runtime")
        os.mkdir(runtime, 0o700)
        env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
        xml = os.path.join(root, "clip.xml")
        with open(xml, "w", encoding="utf-8") as f:
            f.write('<?xml version="1.0"?>\n<clip><caption>Hello</caption></clip>\n')
        seed = os.path.join(root, "seed.tovijob")
        with open(seed, "w") as f:
            json.dump({"kind": "clipboardWrite", "out": seed + ".json", "xmlPath": xml, "id": "clip-1"}, f)
        subprocess.run([helper, seed], env=env, check=True)
        assert json.load(open(seed + ".json"))["ok"], "the clip could not be put on the store"

        kinds = {
            "clipboardRead": {"kind": "clipboardRead"},
            "measure": {"kind": "measure", "font": "Liberation Sans", "size": 48, "strings": [CAPTION]},
        }
        aside = os.path.join(root, "aside")
        watched = os.path.join(root, "watched")
        results = os.path.join(root, "results")
        for folder in (aside, watched, results):
            os.mkdir(folder)
        watcher = subprocess.Popen([helper, "--watch", watched, "--idle", "30"], env=env)
        per_job = {kind: [] for kind in kinds}
        try:
            for r in range(rounds + 1):  # the first round warms up and is not counted
                for kind, fields in kinds.items():
                    names = [f"{kind}-{r}-{i:04d}" for i in range(JOBS)]
                    outs = [os.path.join(results, name + ".json") for name in names]
                    for name, out in zip(names, outs):
                        with open(os.path.join(aside, name + ".tovijob"), "w") as f:
                            json.dump(dict(fields, out=out), f)
                    start = time.perf_counter()
                    for name in names:
                        os.rename(os.path.join(aside, name + ".tovijob"), os.path.join(watched, name + ".tovijob"))
                    for out in outs:
                        while not os.path.exists(out):
                            time.sleep(0.0005)
                    elapsed = time.perf_counter() - start
                    for out in (outs[0], outs[-1]):
                        assert json.load(open(out))["ok"], out
                    if r > 0:
                        per_job[kind].append(elapsed / JOBS)
        finally:
            watcher.terminate()
            watcher.wait()
    ms = {kind: statistics.median(samples) * 1000 for kind, samples in per_job.items()}
    for kind in kinds:
        print(f"watch mode, {JOBS} {kind} jobs: median {ms[kind]:.3f} ms per job over {rounds} rounds"
              f" (min {min(per_job[kind]) * 1000:.3f})")
    print(f"measure / clipboardRead per job: {ms['measure'] / ms['clipboardRead']:.2f}   target <= 3")


if __name__ == "__main__":
    main()
