// The client against the simulated build of the tool (KELO_TOOL), each test in a scratch home:
// every command, failures by code, cancellation, a watch that sees another process's change,
// and stand-ins for a tool that exits without reading its request or never answers.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { chmodSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, before, test } from "node:test";
import { KeloClient, KeloError, KeloLaunchError } from "../index.js";

const tool = process.env.KELO_TOOL;
let home;
before(() => {
  assert.ok(tool, "KELO_TOOL names the simulated build of the tool");
  home = mkdtempSync(join(tmpdir(), "kelo-node-client-"));
  process.env.HOME = home;  // the children inherit it
});
after(() => rmSync(home, { recursive: true, force: true }));

const request = {
  privateKey: "cHJpdmF0ZQ==", address: "10.8.0.2/32", dns: "1.1.1.1", peerPublicKey: "cGVlcg==",
  peerEndpoint: "203.0.113.5:51820", allowedIps: "0.0.0.0/0", excludedApps: [],
};

function standIn(name, script) {
  const path = join(home, name);
  writeFileSync(path, `#!/bin/sh\n${script}\n`);
  chmodSync(path, 0o755);
  return path;
}

test("every command answers its document, and failures come by code", async () => {
  const client = new KeloClient(tool);
  const version = await client.version();
  assert.ok(version.features.includes("takeOver"));
  assert.equal((await client.status()).configured, false);
  const connecting = await client.connect(request);
  assert.equal(connecting.status, "connecting");
  assert.equal(connecting.serverAddress, "203.0.113.5");
  assert.equal(connecting.displaced, false);
  assert.equal((await client.wait({ until: ["connected"], timeoutSeconds: 5 })).status, "connected");
  await assert.rejects(client.updateAppRules({ excludedApps: [] }),
    (error) => error instanceof KeloError && error.code === "notPerApp");
  await assert.rejects(client.connect({ ...request, takeOver: "yes" }),
    { name: "KeloError", code: "invalidRequest", step: "request" });
  await assert.rejects(client.connect({ ...request, excludedApps: ["/nowhere/Gone.app", ""] }),
    { name: "KeloError", code: "applicationNotFound", paths: ["/nowhere/Gone.app", ""] });
  const later = new KeloClient(standIn("later", `echo '{"error":"new","code":"someNewCode"}' >&2; exit 1`));
  await assert.rejects(later.status(), { name: "KeloError", code: "someNewCode", message: "new" });
  assert.equal((await client.disconnect()).status, "disconnecting");
  const exported = await client.export({ ...request, privateKey: undefined,
    export: { payloadIdentifier: "com.example.vpn", applicationBundleIdentifier: "com.example.app" } });
  assert.match(exported.mobileconfig, /^<\?xml version="1.0" encoding="UTF-8"\?>\n/);
  assert.equal((await client.remove()).configured, false);
});

test("connect and update-app-rules send the defaults that are right on a Mac", async () => {
  const recorder = standIn("recorder", `cat > "$HOME/request.json"\necho '{"configured":false}'`);
  const client = new KeloClient(recorder);
  const sent = async (call) => {
    await call();
    return JSON.parse(readFileSync(join(home, "request.json"), "utf8"));
  };
  const connect = await sent(() => client.connect(request));
  assert.equal(connect.ruleCoverage, "wholeApplication");
  assert.equal(connect.staleProfiles, "removeAfterSave");
  const chosen = await sent(() => client.connect({ ...request, staleProfiles: "removeFirst" }));
  assert.equal(chosen.staleProfiles, "removeFirst");
  assert.equal((await sent(() => client.updateAppRules({ excludedApps: [] }))).ruleCoverage,
    "wholeApplication");
});

test("a tool that cannot be started, or answers nothing, is a launch error", async () => {
  await assert.rejects(new KeloClient(join(home, "missing")).status(),
    (error) => error instanceof KeloLaunchError && error.launchError === "ENOENT");
  // Exits at once without reading a request far larger than a pipe holds: the caller survives.
  const quitter = standIn("quitter", "exit 0");
  const large = { ...request, excludedApps: Array(20000).fill("/Applications/Some Application.app") };
  await assert.rejects(new KeloClient(quitter).connect(large),
    (error) => error instanceof KeloLaunchError && error.exitStatus === 0);
  // Never answers: stopped at the client's bound, then killed when it ignores the stop.
  const stuck = standIn("stuck", "trap '' TERM\nwhile :; do sleep 1; done");
  const began = Date.now();
  await assert.rejects(new KeloClient(stuck, { timeoutMs: 300 }).status(),
    (error) => error instanceof KeloLaunchError && error.exitSignal === "SIGKILL");
  assert.ok(Date.now() - began < 10000);
});

test("an abort stops the tool, which answers its stopped failure", async () => {
  const client = new KeloClient(tool);
  const controller = new AbortController();
  const waiting = client.wait({ until: ["reasserting"], timeoutSeconds: 10, signal: controller.signal });
  const began = Date.now();
  setTimeout(() => controller.abort(), 1000);
  // The tool's stopped failure; a build that starts slowly (under a sanitizer) may not have set
  // up its handlers yet, and then nothing comes back but the cancellation.
  await assert.rejects(waiting, (error) =>
    (error instanceof KeloError && error.code === "stopped" && error.signal === "SIGTERM") ||
    error.name === "AbortError");
  assert.ok(Date.now() - began < 6000);
  const early = new AbortController();
  early.abort(new Error("no longer wanted"));
  await assert.rejects(client.status({ signal: early.signal }), /no longer wanted/);
});

test("a watch sees another process's change", async () => {
  const client = new KeloClient(tool);
  const controller = new AbortController();
  const seen = [];
  setTimeout(() => execFileSync(tool, ["connect"], { input: JSON.stringify(request) }), 300);
  for await (const status of client.watch({ signal: controller.signal })) {
    seen.push(status.status);
    if (status.status === "connected") controller.abort();
  }
  assert.deepEqual(seen.slice(0, 1), ["invalid"]);
  assert.equal(seen.at(-1), "connected");
  await client.remove();
});
