#!/usr/bin/env python3
"""Writes the macOS bundle's Info.plist and entitlements as the build does, for each kind of
distribution, and checks what signing with a provisioning profile needs of them: the Network
Extension entitlement of that kind, the application and team identifiers, the form distribution
signing accepts (no comment, LF line endings, no byte-order mark), and the name the system's
consent alert shows.
Usage: check_signing_files.py CMAKE SIGNING_FILES_SCRIPT SCRATCH
"""
import pathlib, plistlib, subprocess, sys

cmake, script, scratch = sys.argv[1], sys.argv[2], pathlib.Path(sys.argv[3])
for kind, entitlement in (("developer-id", "packet-tunnel-provider-systemextension"),
                          ("development", "packet-tunnel-provider")):
    folder = scratch / kind
    subprocess.run([cmake, "-DKELO_TEAM_IDENTIFIER=ABCDE12345", "-DKELO_BUNDLE_IDENTIFIER=com.x.helper",
                    f"-DKELO_DISTRIBUTION={kind}", f"-DKELO_PACKAGING_DIR={folder}",
                    "-DKELO_VERSION=1.2.3", "-DKELO_MINIMUM_MACOS=11.0", "-P", script], check=True)
    raw = (folder / "kelo-ne-manager.entitlements").read_bytes()
    # Distribution signing refuses comments, CR line endings and a byte-order mark, all of
    # which plutil -lint lets pass.
    assert b"<!--" not in raw and b"\r" not in raw and not raw.startswith(b"\xef\xbb\xbf"), raw
    entitlements = plistlib.loads(raw)
    assert entitlements == {"com.apple.application-identifier": "ABCDE12345.com.x.helper",
                            "com.apple.developer.team-identifier": "ABCDE12345",
                            "com.apple.developer.networking.networkextension": [entitlement]}
    info = plistlib.loads((folder / "Info.plist").read_bytes())
    expected = {"CFBundleIdentifier": "com.x.helper", "CFBundleDisplayName": "Kelo VPN",
                "CFBundleExecutable": "kelo-ne-manager", "CFBundleVersion": "1.2.3",
                "LSMinimumSystemVersion": "11.0"}
    assert {key: info.get(key) for key in expected} == expected, info
