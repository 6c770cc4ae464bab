#!/usr/bin/env python3
# Runs real jobs of every kind with the built helper and checks each job, result and progress
# file against the JSON Schemas in schema/: a file must match its own schema and no other result's.
#
#     check-results.py HELPER SOURCE_DIR
#
# Needs python3-jsonschema (Debian's), the bundled whisper-cli in the build tree and the DejaVu
# fonts.

import atexit
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import wave

import jsonschema

helper, source = sys.argv[1:3]
failures = []


def expect(condition, failure):
    if not condition:
        failures.append(failure)


def read(path):
    with open(path) as f:
        return json.load(f)


schemas = {}
for name in os.listdir(os.path.join(source, "schema")):
    schema = read(os.path.join(source, "schema", name))
    jsonschema.Draft202012Validator.check_schema(schema)
    schemas[name.removesuffix(".schema.json")] = jsonschema.Draft202012Validator(schema)
RESULTS = [k for k in schemas if k.startswith("result-")]


def check(kind, value, what):
    errors = [e.message for e in schemas[kind].iter_errors(value)] + [""]
    expect(not errors[0], "%s does not match %s: %s\n  %s"
           % (what, kind, errors[0], json.dumps(value)[:300]))
    others = [k for k in RESULTS if k != kind and kind in RESULTS and schemas[k].is_valid(value)]
    expect(not others, "%s also matches %s" % (what, ", ".join(others)))


work = tempfile.mkdtemp(prefix="tovi-schema.")
atexit.register(shutil.rmtree, work, ignore_errors=True)
env = dict(os.environ, XDG_RUNTIME_DIR=work)  # private to us: the clipboard's store


# Runs `job` (a job's fields, its "out" added; or the bytes of a job file that is none) and checks
# its files; gives the result.
def run_job(name, job, result_kind, progress_kind=None):
    path = os.path.join(work, name + ".tovijob")
    out = path + ".result.json"
    if isinstance(job, dict):
        job = dict(job, out=os.path.join(work, name + ".json"))
        check("tovijob", job, name + ".tovijob")
        out, job = job["out"], json.dumps(job)
    with open(path, "w") as f:
        f.write(job)
    subprocess.run([helper, path], env=env, timeout=300, check=True)
    check(result_kind, read(out), name + " result")
    if progress_kind:
        check(progress_kind, read(out + ".progress"), name + " progress")
    return read(out)


model = os.path.join(work, "tiny.bin")
subprocess.run([os.path.join(source, "tools", "make-tiny-whisper-model"), model], check=True)
audio = os.path.join(work, "tone.wav")
with wave.open(audio, "wb") as w:
    w.setparams((1, 2, 16000, 0, "NONE", "NONE"))
    w.writeframes(bytes(64000))  # 2 s of silence: the tiny model says its text whatever it hears

result = run_job("transcribe", {"kind": "transcribe", "wav": audio, "model": model, "lang": "en"},
                 "result-transcribe", "progress")
expect(result.get("whisper", {}).get("transcription", [{}])[0].get("text") == " Hello world.",
       "the transcription did not run the tiny model: %s" % json.dumps(result)[:300])
run_job("measure", {"kind": "measure", "font": "DejaVu Sans", "size": 12,
                    "strings": ["Hello", "two\nlines", ""]}, "result-measure")
with open(os.path.join(work, "clip.xml"), "w") as f:
    f.write("<xmeml version=\"4\"/>")
run_job("write", {"kind": "clipboardWrite", "xmlPath": f.name, "id": "clip-1"},
        "result-clipboardWrite")
expect(run_job("read", {"kind": "clipboardRead"}, "result-clipboardRead").get("id") == "clip-1",
       "clipboardRead did not give back what clipboardWrite put")

# Failures: a worker's own message, a job file that is no JSON, and a download whose digest is
# wrong (served slowly, so that its progress file holds a download record, which it keeps).
run_job("no-font", {"kind": "measure", "size": 12}, "result-error")
run_job("unreadable", "{not json", "result-error")
server = subprocess.Popen(
    [sys.executable, os.path.join(source, "tests", "speech", "model-server.py"), work])
atexit.register(server.kill)
port = os.path.join(work, "port")
while not (os.path.exists(port) and open(port).read().endswith("\n")):
    time.sleep(0.01)
run_job("bad-digest", {"wav": audio, "model": os.path.join(work, "fetched.bin"),
                       "modelURL": "http://127.0.0.1:%d/slow/tiny.bin" % read(port),
                       "modelSHA": "0" * 64,
                       "modelSize": os.path.getsize(model)}, "result-error", "progress")
expect("phase" in read(os.path.join(work, "bad-digest.json.progress")),
       "the failed download left no download record")

sys.exit("\n".join("FAIL: " + failure for failure in failures) or None)
