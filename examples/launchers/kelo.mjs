// Runs kelo-ne-manager once, in protocol 2: resolves with its status document, or rejects with
// an Error carrying the failure document's members (error, code, step, ...). Gives up with
// SIGTERM after `timeoutMs` (the tool's own bound is 15 s) and still reads the failure.
import { spawn } from "node:child_process";

export function kelo(tool, command, request, { timeoutMs = 20000 } = {}) {
  return new Promise((resolve, reject) => {
    const child = spawn(tool, [command, "--protocol=2"]);
    const out = [], err = [];
    child.stdout.on("data", (chunk) => out.push(chunk));
    child.stderr.on("data", (chunk) => err.push(chunk));
    child.stdin.on("error", () => {}); // a command that reads nothing may be gone already
    child.stdin.end(request === undefined ? "" : JSON.stringify(request));
    const timer = setTimeout(() => child.kill("SIGTERM"), timeoutMs);
    child.on("error", (error) => { clearTimeout(timer); reject(error); });
    child.on("close", (status) => {
      clearTimeout(timer);
      const text = Buffer.concat(status === 0 ? out : err).toString("utf8");
      let document = null;
      try { document = JSON.parse(text); } catch { /* no document: killed, or not this tool */ }
      if (status === 0 && document) resolve(document);
      else reject(Object.assign(new Error(document?.error ?? `exit status ${status}`), document ?? {}));
    });
  });
}
