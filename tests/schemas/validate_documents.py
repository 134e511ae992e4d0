#!/usr/bin/env python3
"""Validates what the tool really reads and writes against the JSON Schemas in schemas/.

Every run of the black-box tests leaves a record (tests/blackbox/tool_runner.cc): the command,
the request, both outputs, the exit status and the preferences file before and after. A run
that ended with 0 wrote its document (a status, the version or the exported profile) and its
request was accepted; one that ended with 1
wrote a failure document; a preferences file the tool read without complaint, or wrote, is a
valid one. Each schema must also reject a document that breaks it, and accept the examples.
Usage: validate_documents.py SCHEMAS EXAMPLES DOCUMENT_LOG
"""
import json
import pathlib
import sys

import jsonschema

REQUESTS = {"connect": "connect-request", "update-app-rules": "update-app-rules-request",
            "wait": "wait-request", "export": "export-request"}
EXAMPLES = {"full-tunnel.json": "connect-request", "per-app.json": "connect-request",
            "per-app-whole.json": "connect-request",
            "on-demand.json": "connect-request", "kill-switch-off.json": "connect-request",
            "update-app-rules.json": "update-app-rules-request",
            "export-per-app.json": "export-request"}
MUST_REJECT = {  # one document each that breaks its schema
    "connect-request": {"privateKey": "k", "address": "a", "dns": "d", "peerPublicKey": "p",
                        "peerEndpoint": "e", "allowedIps": "i", "excludedApps": [], "mtu": 1.5},
    "update-app-rules-request": {"excludedApps": [1]},
    "wait-request": {"until": [], "timeoutSeconds": 15},
    "status": {"configured": True, "connected": False, "connecting": True,
               "disconnecting": False, "status": "up", "perAppMode": False, "appRuleCount": 0},
    "failure": {"error": "x", "code": 2},
    "status-2": {"configured": False, "connected": False, "connecting": False,
                 "disconnecting": False, "status": "invalid", "perAppMode": False,
                 "appRuleCount": 0, "serverAddress": None, "connectedSince": "yesterday",
                 "lastDisconnectError": None, "onDemand": {"enabled": False, "rules": []},
                 "networkPolicy": None, "appRules": []},
    "failure-2": {"error": "x", "code": "busy"},
    "version": {"version": "1.9.0", "protocols": [1], "commands": ["status"]},
    "export-request": {"address": "a", "dns": "d", "peerPublicKey": "p", "peerEndpoint": "e",
                       "allowedIps": "i", "excludedApps": ["/Applications/Mail.app"],
                       "export": {"payloadIdentifier": "vpn", "applicationBundleIdentifier": "a.b"}},
    "export": {"mobileconfig": "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n",
               "payloadIdentifier": "a.b", "payloadUUID": "d8931b82-d7d2-5c01-a44d-52a68993b824",
               "vpnUUID": None, "appMappings": [], "skippedApplications": [], "notExported": []},
    "preferences": {"profiles": [{"identifier": "A", "connection": {"status": "up"}}]},
}


def inlined(value, document, documents):
    """`value` of `document` with every reference to another schema (by its "$id") replaced by
    what it names, whose own references are resolved in the schema they belong to; the schemas
    then need no resolver that knows the others, which jsonschema before 4.18 has not."""
    if isinstance(value, list):
        return [inlined(item, document, documents) for item in value]
    if not isinstance(value, dict):
        return value
    reference = value.get("$ref", "")
    target, _, pointer = reference.partition("#")
    if target or (reference and document is not documents["$self"]):
        source = documents[target] if target else document
        named = source
        for part in pointer.split("/")[1:]:
            named = named[part]
        return inlined(named, source, documents)
    return {key: inlined(item, document, documents) for key, item in value.items()}


def parsed(text):
    try:
        return json.loads(text)
    except (TypeError, ValueError):
        return None


def main(schemas_folder, examples_folder, log_folder):
    schemas = {path.name.removesuffix(".schema.json"): json.loads(path.read_text())
               for path in pathlib.Path(schemas_folder).glob("*.schema.json")}
    by_id = {schema["$id"]: schema for schema in schemas.values()}
    validators = {name: jsonschema.Draft202012Validator(
                      inlined(schema, schema, {**by_id, "$self": schema}))
                  for name, schema in schemas.items()}
    assert sorted(validators) == sorted(MUST_REJECT), sorted(validators)
    failures = []

    def check(name, document, where):
        failures.extend(f"{where}: not a valid {name}: {error.message}"
                        for error in validators[name].iter_errors(document))

    records = sorted(pathlib.Path(log_folder).glob("*.json"))
    for path in records:
        run = json.loads(path.read_text())
        where = f"{path.name} ({' '.join(run['arguments'])}, exit {run['exitStatus']})"
        command = run["arguments"][0] if run["arguments"] else ""
        second = command and "--protocol=2" in run["arguments"][1:]
        if run["exitStatus"] == 0 and command in ("version", "--version"):
            check("version", parsed(run["standardOutput"]), where)
        elif run["exitStatus"] == 0 and command == "export":
            check("export", parsed(run["standardOutput"]), where)
            check("export-request", parsed(run["input"]), where + " request")
        elif run["exitStatus"] == 0:
            check("status-2" if second else "status", parsed(run["standardOutput"]), where)
            # A wait's request is optional: empty input asks for the defaults.
            if command in REQUESTS and (run["input"] or "").strip():
                check(REQUESTS[command], parsed(run["input"]), where + " request")
            if parsed(run["preferencesBefore"]) is not None:
                check("preferences", parsed(run["preferencesBefore"]), where + " before")
        elif run["exitStatus"] == 1:
            check("failure-2" if second else "failure", parsed(run["standardError"]), where)
        after = run["preferencesAfter"]
        # An export reads no preferences: a file it left alone may be anything a test made.
        read = command != "export" and run["exitStatus"] == 0
        if after is not None and (after != run["preferencesBefore"] or read):
            check("preferences", parsed(after), where + " after")
    failures.extend(f"{name} accepts {json.dumps(document)}"
                    for name, document in MUST_REJECT.items() if validators[name].is_valid(document))
    for file, name in EXAMPLES.items():
        check(name, json.loads((pathlib.Path(examples_folder) / file).read_text()), file)

    print("\n".join(failures + [f"{len(records)} runs checked"]))
    return 1 if failures or not records else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
