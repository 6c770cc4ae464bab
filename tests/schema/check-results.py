#!/usr/bin/env python3
"""Runs real jobs of every kind with the built helper and checks each job, result and progress
file against the JSON Schemas in schema/: a file must match its own schema and no other result's.

    check-results.py HELPER SOURCE_DIR

Needs python3-jsonschema (Debian's), the bundled whisper-cli in the build tree and the DejaVu fonts.
"""

import atexit
import hashlib
import http.server
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import threading
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
    if kind.startswith("result-"):
        others = [k for k in RESULTS if k != kind and schemas[k].is_valid(value)]
        if others:
            failures.append("%s also matches %s" % (what, ", ".join(others)))


work = tempfile.mkdtemp(prefix="tovi-schema.")
atexit.register(shutil.rmtree, work, ignore_errors=True)
runtime = os.path.join(work, "run")
os.mkdir(runtime, 0o700)
env = dict(os.environ, XDG_RUNTIME_DIR=runtime)


def run_job(name, job, result_kind, progress_kind=None):
    path = os.path.join(work, name + ".tovijob")
    job = dict(job, out=os.path.join(work, name + ".json"))
    check("tovijob", job, name + ".tovijob")
    with open(path, "w") as f:
        json.dump(job, f)
    subprocess.run([helper, path], env=env, timeout=300, check=True)
    with open(job["out"]) as f:
        result = json.load(f)
    check(result_kind, result, name + " result")
    if progress_kind:
        with open(job["out"] + ".progress") as f:
            check(progress_kind, json.load(f), name + " progress")
    return result


model = os.path.join(work, "tiny.bin")
subprocess.run([os.path.join(source, "tools", "make-tiny-whisper-model"), model], check=True)
audio = os.path.join(work, "tone.wav")
with wave.open(audio, "wb") as w:
    w.setnchannels(1)
    w.setsampwidth(2)
    w.setframerate(16000)
    w.writeframes(b"".join(int(8000 * math.sin(i * 0.17)).to_bytes(2, "little", signed=True)
                           for i in range(32000)))

result = run_job("transcribe", {"kind": "transcribe", "wav": audio, "model": model, "lang": "en"},
                 "result-transcribe", "progress")
if result.get("whisper", {}).get("transcription", [{}])[0].get("text") != " Hello world.":
    failures.append("the transcription did not run the tiny model: %s" % json.dumps(result)[:300])
run_job("measure", {"kind": "measure", "font": "DejaVu Sans", "size": 12,
                    "strings": ["Hello", "two\nlines", ""]}, "result-measure")
xml = os.path.join(work, "clip.xml")
with open(xml, "w") as f:
    f.write("<xmeml version=\"4\"/>")
run_job("write", {"kind": "clipboardWrite", "xmlPath": xml, "id": "clip-1"}, "result-clipboardWrite")
if run_job("read", {"kind": "clipboardRead"}, "result-clipboardRead").get("id") != "clip-1":
    failures.append("clipboardRead did not give back what clipboardWrite put")

# Failures: a worker's own message, a missing file, and a download whose digest is wrong (its
# progress file keeps the download's last record).
run_job("no-font", {"kind": "measure", "size": 12}, "result-error")
run_job("no-audio", {"wav": os.path.join(work, "missing.wav"), "model": model}, "result-error")
with open(model, "rb") as f:
    body = f.read()


class Model(http.server.BaseHTTPRequestHandler):
    """Sends half the model, then the rest once the helper has written a download record."""
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body[:len(body) // 2])
        self.wfile.flush()
        progress = os.path.join(work, "bad-digest.json.progress")
        deadline = time.monotonic() + 60
        while not os.path.exists(progress) and time.monotonic() < deadline:
            time.sleep(0.01)
        self.wfile.write(body[len(body) // 2:])

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Model)
threading.Thread(target=server.serve_forever, daemon=True).start()
run_job("bad-digest", {"wav": audio, "model": os.path.join(work, "fetched.bin"),
                       "modelURL": "http://127.0.0.1:%d/tiny.bin" % server.server_port,
                       "modelSHA": hashlib.sha256(b"something else").hexdigest(), "modelSize": len(body)},
        "result-error", "progress")
server.shutdown()
with open(os.path.join(work, "bad-digest.json.progress")) as f:
    if "phase" not in json.load(f):
        failures.append("the failed download left no download record")

unreadable = os.path.join(work, "unreadable.tovijob")
with open(unreadable, "w") as f:
    f.write("{not json")
subprocess.run([helper, unreadable], env=env, timeout=60, check=True)
with open(unreadable + ".result.json") as f:
    check("result-error", json.load(f), "unreadable job result")

for failure in failures:
    print("FAIL:", failure)
print("%d failures" % len(failures) if failures else "every job, result and progress file matches its schema")
sys.exit(1 if failures else 0)
