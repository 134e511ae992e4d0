#!/usr/bin/env python3
"""Validates what the tool really reads and writes against the JSON Schemas in schemas/.

Every run of the black-box tests leaves a record (see tests/blackbox/tool_runner.cc): the
command, the request, both outputs, the exit status and the preferences file before and after.
For each record:
  - a run that ended with 0 wrote a status document, and its request (if any) was accepted;
  - a run that ended with 1 wrote a failure document;
  - a preferences file the tool read without complaint, or wrote, is a valid preferences file.
Then each schema must reject a few documents that break it, and accept the examples.
Usage: validate_documents.py SCHEMAS EXAMPLES DOCUMENT_LOG
"""
import json
import pathlib
import sys

import jsonschema

REQUEST_SCHEMAS = {"connect": "connect-request", "update-app-rules": "update-app-rules-request"}

MUST_REJECT = {
    "connect-request": [
        {},
        {"privateKey": "k", "address": "a", "dns": "d", "peerPublicKey": "p",
         "peerEndpoint": "e", "allowedIps": "i"},
        {"privateKey": "k", "address": "a", "dns": "d", "peerPublicKey": "p",
         "peerEndpoint": "e", "allowedIps": "i", "excludedApps": [], "mtu": 1280.5},
        {"privateKey": 1, "address": "a", "dns": "d", "peerPublicKey": "p",
         "peerEndpoint": "e", "allowedIps": "i", "excludedApps": []},
        [],
    ],
    "update-app-rules-request": [{}, {"excludedApps": "/Applications/Mail.app"},
                                 {"excludedApps": [1]}, None],
    "status": [
        {},
        {"configured": True, "connected": False, "connecting": True, "disconnecting": False,
         "status": "up", "perAppMode": False, "appRuleCount": 0},
        {"configured": True, "connected": False, "connecting": True, "disconnecting": False,
         "status": "connecting", "perAppMode": False, "appRuleCount": -1},
        {"configured": True, "connected": False, "connecting": True, "disconnecting": False,
         "status": "connecting", "perAppMode": False, "appRuleCount": 0, "extra": 1},
    ],
    "failure": [{}, {"error": 1}, {"error": "x", "code": 2}, "x"],
    "preferences": [
        [],
        {"profiles": {}},
        {"profiles": [{}]},
        {"profiles": [{"identifier": 7}]},
        {"profiles": [{"identifier": "A", "protocol": {}}]},
        {"profiles": [{"identifier": "A", "connection": {"status": "up"}}]},
        {"faults": {"silent": ["start"]}},
    ],
}


def parsed(text):
    if text is None:
        return None
    try:
        return json.loads(text)
    except ValueError:
        return None


def main(schemas_folder, examples_folder, log_folder):
    validators = {}
    for path in sorted(pathlib.Path(schemas_folder).glob("*.schema.json")):
        schema = json.loads(path.read_text())
        jsonschema.Draft202012Validator.check_schema(schema)
        validators[path.name.removesuffix(".schema.json")] = jsonschema.Draft202012Validator(schema)
    assert sorted(validators) == sorted(MUST_REJECT), sorted(validators)

    failures = []

    def check(name, document, where):
        for error in validators[name].iter_errors(document):
            failures.append(f"{where}: not a valid {name}: {error.message}")

    counts = dict.fromkeys(validators, 0)
    records = sorted(pathlib.Path(log_folder).glob("*.json"))
    for path in records:
        record = json.loads(path.read_text())
        command = record["arguments"][0] if record["arguments"] else ""
        where = f"{path.name} ({' '.join(record['arguments'])}, exit {record['exitStatus']})"
        if record["exitStatus"] == 0:
            check("status", parsed(record["standardOutput"]), where)
            counts["status"] += 1
            if command in REQUEST_SCHEMAS:
                check(REQUEST_SCHEMAS[command], parsed(record["input"]), where + " request")
                counts[REQUEST_SCHEMAS[command]] += 1
        elif record["exitStatus"] == 1:
            check("failure", parsed(record["standardError"]), where)
            counts["failure"] += 1
        before, after = record["preferencesBefore"], record["preferencesAfter"]
        if record["exitStatus"] == 0 and parsed(before) is not None:
            check("preferences", parsed(before), where + " preferences before")
            counts["preferences"] += 1
        if after is not None and (after != before or record["exitStatus"] == 0):
            check("preferences", parsed(after), where + " preferences after")
            counts["preferences"] += 1

    for name, documents in MUST_REJECT.items():
        for document in documents:
            if validators[name].is_valid(document):
                failures.append(f"{name} accepts what it must reject: {json.dumps(document)}")

    examples = {"full-tunnel.json": "connect-request", "per-app.json": "connect-request",
                "update-app-rules.json": "update-app-rules-request"}
    for file, name in examples.items():
        check(name, json.loads((pathlib.Path(examples_folder) / file).read_text()), file)

    for failure in failures:
        print(failure)
    print(f"{len(records)} runs checked: " +
          ", ".join(f"{count} {name}" for name, count in sorted(counts.items())))
    if not records:
        print("no runs were recorded: run the black-box tests first")
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
