// A client of kelo-ne-manager for Node and Electron: each call runs the tool once, in protocol 2,
// and resolves with its document or rejects with a KeloError (the tool's failure, by `code`) or
// a KeloLaunchError (the tool could not be run, or answered with no document).
import { spawn } from "node:child_process";

// The tool ends every run within 15 seconds; one that has not ended a few seconds later is
// stopped, and killed if it still does not end.
const DEFAULT_TIMEOUT_MS = 18000;
const KILL_AFTER_MS = 2000;
const STATUSES = ["invalid", "disconnected", "connecting", "connected", "reasserting",
  "disconnecting"];

/** A failure the tool reported: its failure document's members. */
export class KeloError extends Error {
  constructor(document) {
    super(document.error);
    this.name = "KeloError";
    this.code = document.code ?? "unknown";
    this.step = document.step ?? null;
    this.platformError = document.platformError ?? null;
    this.signal = document.signal ?? null;
    this.paths = document.paths ?? [];
    this.repairError = document.repairError ?? null;
    this.document = document;
  }
}

/** The tool could not be run, or ended without a document of its own. */
export class KeloLaunchError extends Error {
  constructor(message, { launchError = null, exitStatus = null, exitSignal = null, output = "" } = {}) {
    super(message);
    this.name = "KeloLaunchError";
    this.launchError = launchError;  // Node's code: "ENOENT", "EACCES", ...
    this.exitStatus = exitStatus;
    this.exitSignal = exitSignal;
    this.output = output;
  }
}

function parsed(text) {
  try {
    const value = JSON.parse(text);
    return value !== null && typeof value === "object" && !Array.isArray(value) ? value : null;
  } catch {
    return null;
  }
}

export class KeloClient {
  /**
   * @param {string} toolPath the tool's executable
   * @param {{timeoutMs?: number}} [options]
   */
  constructor(toolPath, { timeoutMs = DEFAULT_TIMEOUT_MS } = {}) {
    this.toolPath = toolPath;
    this.timeoutMs = timeoutMs;
  }

  status(options) { return this.#run("status", undefined, options); }
  disconnect(options) { return this.#run("disconnect", undefined, options); }
  remove(options) { return this.#run("remove", undefined, options); }
  version(options) { return this.#run("version", undefined, options); }
  export(request, options) { return this.#run("export", request, options); }

  /** Whole-application rules and removal after the save unless the request says otherwise. */
  connect(request, options) {
    return this.#run("connect", {
      ruleCoverage: "wholeApplication", staleProfiles: "removeAfterSave", ...request }, options);
  }

  updateAppRules(request, options) {
    return this.#run("update-app-rules", { ruleCoverage: "wholeApplication", ...request }, options);
  }

  wait({ until, timeoutSeconds, signal } = {}) {
    const request = {};
    if (until !== undefined) request.until = until;
    if (timeoutSeconds !== undefined) request.timeoutSeconds = timeoutSeconds;
    return this.#run("wait", request, { signal });
  }

  /**
   * The status now, then each change of it, one "wait" after another, until the signal aborts
   * or the consumer stops.
   */
  async *watch({ signal } = {}) {
    let current = await this.status({ signal });
    yield current;
    while (!signal?.aborted) {
      let next;
      try {
        next = await this.wait({ until: STATUSES.filter((status) => status !== current.status), signal });
      } catch (error) {
        if (signal?.aborted) return;
        throw error;
      }
      if (next.status !== current.status) {
        current = next;
        yield current;
      }
    }
  }

  #run(command, request, { signal } = {}) {
    return new Promise((resolve, reject) => {
      if (signal?.aborted) {
        reject(signal.reason);
        return;
      }
      let child;
      try {
        child = spawn(this.toolPath, [command, "--protocol=2"], { stdio: ["pipe", "pipe", "pipe"] });
      } catch (error) {
        reject(new KeloLaunchError(`${this.toolPath} could not be started: ${error.message}`,
          { launchError: error.code ?? null }));
        return;
      }
      const out = [];
      const err = [];
      child.stdout.on("data", (chunk) => out.push(chunk));
      child.stderr.on("data", (chunk) => err.push(chunk));
      // A tool that ends without reading its request (killed at launch, a request it refuses
      // unread) breaks the pipe: that is told by its answer, never by a crash of the caller.
      child.stdin.on("error", () => {});
      child.stdin.end(request === undefined ? "" : JSON.stringify(request));
      let killer = null;
      const stop = () => {
        child.kill("SIGTERM");
        killer ??= setTimeout(() => child.kill("SIGKILL"), KILL_AFTER_MS);
      };
      const timer = setTimeout(stop, this.timeoutMs);
      const aborted = () => stop();
      signal?.addEventListener("abort", aborted, { once: true });
      let settled = false;
      const settle = () => {
        const first = !settled;
        settled = true;
        clearTimeout(timer);
        clearTimeout(killer);
        signal?.removeEventListener("abort", aborted);
        return first;
      };
      // Node's own failure to start the program: ENOENT, EACCES and the like.
      child.on("error", (error) => {
        if (settle()) {
          reject(new KeloLaunchError(`${this.toolPath} could not be started: ${error.message}`,
            { launchError: error.code ?? null }));
        }
      });
      child.on("close", (exitStatus, exitSignal) => {
        if (!settle()) return;
        const stdout = Buffer.concat(out).toString("utf8");
        const stderr = Buffer.concat(err).toString("utf8");
        const success = exitStatus === 0 ? parsed(stdout) : null;
        const failure = exitStatus === 1 ? parsed(stderr) : null;
        if (success) {
          resolve(success);
        } else if (failure && typeof failure.error === "string") {
          reject(new KeloError(failure));
        } else if (signal?.aborted) {
          reject(signal.reason);
        } else {
          reject(new KeloLaunchError(
            `${this.toolPath} ${command} ended (${exitSignal ?? `exit status ${exitStatus}`}) without a document`,
            { exitStatus, exitSignal, output: stdout + stderr }));
        }
      });
    });
  }
}
