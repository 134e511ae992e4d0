"""Reads an XML property list on standard input with Python's own reader, which shares nothing
with the tool, and writes it as JSON with sorted keys; exits 1 when the list is not valid."""
import json
import plistlib
import sys

try:
    value = plistlib.loads(sys.stdin.buffer.read(), fmt=plistlib.FMT_XML)
except Exception as error:  # any failure of the reader is the answer
    print(f"not a property list: {error}", file=sys.stderr)
    sys.exit(1)
print(json.dumps(value, sort_keys=True))
