#!/usr/bin/env python3
"""Validates real outputs of the programs against the installed JSON Schemas: an envelope of
every failure class, the version document in both forms, and requests as the stand-in host
received them; and checks that envelopes with a wrong member are refused, so that the schemas
cannot be vacuous.

Usage: schema_test.py CLIENT STUB SCHEMA_FOLDER
"""
import json
import os
import subprocess
import sys
import tempfile

import jsonschema

client, stub, folder = sys.argv[1:4]
schemas = {}
for name in ["error-envelope", "version", "request"]:
    with open(os.path.join(folder, f"{name}.schema.json")) as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    schemas[name] = jsonschema.Draft202012Validator(schema)
failures = []


def check(kind, text, context):
    errors = list(schemas[kind].iter_errors(json.loads(text)))
    if errors:
        failures.append(f"{context}: {errors[0].message}")


def run(args, socket=None):
    env = {k: v for k, v in os.environ.items() if k != "CORVANELLE_CONTROL_SOCKET"}
    if socket is not None:
        env["CORVANELLE_CONTROL_SOCKET"] = socket
    return subprocess.run([client, *args], env=env, capture_output=True, timeout=30)


with tempfile.TemporaryDirectory() as work:
    # An envelope of each of the four classes.
    cases = {
        "CLIENT_FAILURE": (["foo"], None),
        "CONTROL_SOCKET_NOT_CONFIGURED": (["click"], None),
        "CONTROL_HOST_UNAVAILABLE": (["click"], os.path.join(work, "absent")),
        "CONTROL_TRANSPORT_TIMEOUT": (["Timed Out"], None),
    }
    for code, (args, socket) in cases.items():
        result = run(args, socket)
        envelope = json.loads(result.stderr)
        if envelope["error"]["code"] != code:
            failures.append(f"{args}: expected {code}, got {envelope['error']['code']}")
        check("error-envelope", result.stderr, code)
    # The version document, indented and compact.
    for args in (["--version"], ["--json", "--version"]):
        check("version", run(args).stdout, " ".join(args))
    # Requests as the host received them.
    log = os.path.join(work, "log")
    socket = os.path.join(work, "s")
    read_end, write_end = os.pipe()
    host = subprocess.Popen([stub, "--log", log, "--ready-fd", str(write_end), socket],
                            pass_fds=[write_end], stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as ready:
        ready.readline()
    try:
        for args in (["click"], ["list", "windows", "--all"], ["type", "", "a\"b\\", "é\t{}"]):
            run(args, socket)
    finally:
        host.terminate()
        host.wait(timeout=10)
    # Lines end with a line feed and nothing else ends them, whatever Unicode calls a break.
    with open(log, newline="") as f:
        requests = f.read().split("\n")[:-1]
    if len(requests) != 3:
        failures.append(f"the host logged {len(requests)} requests, not 3")
    for line in requests:
        check("request", line, line)

# Envelopes one member wrong: each must be refused.
good = json.loads(run(["foo"]).stderr)
wrong = []
for change in [
    lambda e: e["error"].update(retryable=True),
    lambda e: e["error"].update(code="SOMETHING_ELSE"),
    lambda e: e["error"].update(recommendedFix="Retry."),
    lambda e: e.update(requestId="4242-1"),
    lambda e: e.update(extra=1),
    lambda e: e["error"].pop("details"),
    lambda e: e.update(debugLogs=["x"]),
    lambda e: e.update(success=True),
]:
    envelope = json.loads(json.dumps(good))
    change(envelope)
    wrong.append(envelope)
for envelope in wrong:
    if schemas["error-envelope"].is_valid(envelope):
        failures.append(f"a wrong envelope passed: {json.dumps(envelope)}")
for request in [{"arguments": [], "command": "lsit", "protocolVersion": 1, "requestId": "1-1"},
                {"arguments": [1], "command": "click", "protocolVersion": 1, "requestId": "1-1"},
                {"arguments": [], "command": "click", "protocolVersion": 2, "requestId": "1-1"},
                {"arguments": [], "command": "click", "requestId": "1-1"},
                *({"arguments": [], "command": "click", "protocolVersion": 1, "requestId": i}
                  for i in ["01-1", "1-00", "1-", "-1", "1-1 "])]:
    if schemas["request"].is_valid(request):
        failures.append(f"a wrong request passed: {json.dumps(request)}")

for failure in failures:
    print(failure)
print(f"schemas: {len(failures)} failures")
sys.exit(1 if failures else 0)
