// The Node launcher against the built tool in a home of its own: a status, a connect, a status
// again, and a failure with its code, as an application wires them.
import assert from "node:assert/strict";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { kelo } from "../../examples/launchers/kelo.mjs";

const [tool, request] = process.argv.slice(2);
const home = mkdtempSync(join(tmpdir(), "kelo-node-"));
process.env.HOME = home;
try {
  const before = await kelo(tool, "status");
  assert.equal(before.configured, false);
  assert.deepEqual(before.appRules, []);
  const { readFileSync } = await import("node:fs");
  const connected = await kelo(tool, "connect", JSON.parse(readFileSync(request, "utf8")));
  assert.equal(connected.status, "connecting");
  assert.equal(connected.serverAddress, "203.0.113.5");
  await assert.rejects(kelo(tool, "update-app-rules", { excludedApps: [] }), (failure) => {
    assert.equal(failure.code, "notPerApp");
    assert.equal(failure.message, "Kelo VPN packet tunnel manager is not configured.");
    return true;
  });
  await assert.rejects(kelo(tool, "connect", { excludedApps: 7 }), { code: "invalidRequest", step: "request" });
  console.log("node launcher: 4 calls as expected");
} finally {
  rmSync(home, { recursive: true, force: true });
}
