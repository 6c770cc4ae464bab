#!/usr/bin/env python3
# Runs real jobs of every kind with the built helper and checks each job, result and progress
# file against the JSON Schemas in schema/: a file must match its own schema and no other result's.
#
#     check-results.py HELPER SOURCE_DIR
#
# Needs python3-jsonschema (Debian's), the bundled whisper-cli in the build tree and the DejaVu fonts.

import atexit
import hashlib
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time
import wave

import jsonschema

helper, source = sys.argv[1:3]
schemas = {}
for name in os.listdir(os.path.join(source, "schema")):
    with open(os.path.join(source, "schema", name)) as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    schemas[name.removesuffix(".schema.json")] = jsonschema.Draft202012Validator(schema)
RESULTS = [k for k in schemas if k.startswith("result-")]
failures = []


def check(kind, value, what):
    errors = list(schemas[kind].iter_errors(value))
    if errors:
        failures.append("%s does not match %s: %s\n  %s" % (what, kind, errors[0].message, json.dumps(value)[:300]))
    others = [k for k in RESULTS if k != kind and kind in RESULTS and schemas[k].is_valid(value)]
    if others:
        failures.append("%s also matches %s" % (what, ", ".join(others)))


def read(path):
    with open(path) as f:
        return json.load(f)


work = tempfile.mkdtemp(prefix="tovi-schema.")
atexit.register(shutil.rmtree, work, ignore_errors=True)
os.mkdir(os.path.join(work, "run"), 0o700)
env = dict(os.environ, XDG_RUNTIME_DIR=os.path.join(work, "run"))


def run_job(name, job, result_kind, progress_kind=None):
    job = dict(job, out=os.path.join(work, name + ".json"))
    check("tovijob", job, name + ".tovijob")
    with open(os.path.join(work, name + ".tovijob"), "w") as f:
        json.dump(job, f)
    subprocess.run([helper, os.path.join(work, name + ".tovijob")], env=env, timeout=300, check=True)
    result = read(job["out"])
    check(result_kind, result, name + " result")
    if progress_kind:
        check(progress_kind, read(job["out"] + ".progress"), name + " progress")
    return result


model = os.path.join(work, "tiny.bin")
subprocess.run([os.path.join(source, "tools", "make-tiny-whisper-model"), model], check=True)
audio = os.path.join(work, "tone.wav")
with wave.open(audio, "wb") as w:
    w.setparams((1, 2, 16000, 0, "NONE", "NONE"))
    w.writeframes(b"".join(int(8000 * math.sin(i * 0.17)).to_bytes(2, "little", signed=True) for i in range(32000)))

result = run_job("transcribe", {"kind": "transcribe", "wav": audio, "model": model, "lang": "en"},
                 "result-transcribe", "progress")
if result.get("whisper", {}).get("transcription", [{}])[0].get("text") != " Hello world.":
    failures.append("the transcription did not run the tiny model: %s" % json.dumps(result)[:300])
run_job("measure", {"kind": "measure", "font": "DejaVu Sans", "size": 12,
                    "strings": ["Hello", "two\nlines", ""]}, "result-measure")
with open(os.path.join(work, "clip.xml"), "w") as f:
    f.write("<xmeml version=\"4\"/>")
run_job("write", {"kind": "clipboardWrite", "xmlPath": f.name, "id": "clip-1"}, "result-clipboardWrite")
if run_job("read", {"kind": "clipboardRead"}, "result-clipboardRead").get("id") != "clip-1":
    failures.append("clipboardRead did not give back what clipboardWrite put")

# Failures: a worker's own message, a missing file, and a download whose digest is wrong (served
# slowly, so that its progress file holds a download record, which it keeps).
run_job("no-font", {"kind": "measure", "size": 12}, "result-error")
run_job("no-audio", {"wav": os.path.join(work, "missing.wav"), "model": model}, "result-error")
server = subprocess.Popen([sys.executable, os.path.join(source, "tests", "speech", "model-server.py"), work])
atexit.register(server.kill)
for _ in range(6000):
    if os.path.exists(os.path.join(work, "port")) and open(os.path.join(work, "port")).read().endswith("\n"):
        break
    time.sleep(0.01)
run_job("bad-digest", {"wav": audio, "model": os.path.join(work, "fetched.bin"),
                       "modelURL": "http://127.0.0.1:%d/slow/tiny.bin" % read(os.path.join(work, "port")),
                       "modelSHA": hashlib.sha256(b"something else").hexdigest(),
                       "modelSize": os.path.getsize(model)}, "result-error", "progress")
if "phase" not in read(os.path.join(work, "bad-digest.json.progress")):
    failures.append("the failed download left no download record")

with open(os.path.join(work, "unreadable.tovijob"), "w") as f:
    f.write("{not json")
subprocess.run([helper, f.name], env=env, timeout=60, check=True)
check("result-error", read(f.name + ".result.json"), "unreadable job result")

for failure in failures:
    print("FAIL:", failure)
print("%d failures" % len(failures) if failures else "every job, result and progress file matches its schema")
sys.exit(1 if failures else 0)
