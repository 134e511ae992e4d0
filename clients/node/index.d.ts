// Types of the requests and documents of kelo-ne-manager's protocol 2. Members the client does
// not know may appear in a document; a caller ignores them.

export type Status = "invalid" | "disconnected" | "connecting" | "connected" | "reasserting"
  | "disconnecting" | "unknown";

export type FailureCode = "usage" | "invalidRequest" | "applicationNotFound" | "noApplications"
  | "noUsableRules" | "notConfigured" | "notPerApp" | "platform" | "timedOut" | "stopped"
  | "unsupported" | "resources" | "internal" | "otherVpnSelected" | (string & {});

export type Step = "request" | "lock" | "load" | "removeStale" | "inspect" | "save" | "reload"
  | "start" | "stop" | "remove" | "wait" | (string & {});

export type SkipReason = "notSigned" | "noIdentifier" | "noRequirement" | "notUtf8"
  | "outputTooLarge" | "notStarted" | "noExecutable" | "systemApp" | "notInstalled"
  | (string & {});

export interface OnDemandRule {
  action: "connect" | "disconnect" | "ignore";
  interfaceType?: "any" | "ethernet" | "wifi" | null;
  ssids?: string[] | null;
}

export interface NetworkPolicy {
  includeAllNetworks?: boolean | null;
  excludeLocalNetworks?: boolean | null;
  enforceRoutes?: boolean | null;
  disconnectOnSleep?: boolean | null;
}

export interface RuleChoices {
  /** The client sends "wholeApplication" unless the request says otherwise. */
  ruleCoverage?: "firstExecutable" | "wholeApplication" | null;
  missingApps?: "fail" | "skip" | null;
}

export interface ConnectRequest extends RuleChoices {
  privateKey: string;
  address: string;
  dns: string;
  peerPublicKey: string;
  peerEndpoint: string;
  allowedIps: string;
  mtu?: number | null;
  keepaliveSeconds?: number | null;
  excludedApps: string[];
  onDemandRules?: OnDemandRule[] | null;
  networkPolicy?: NetworkPolicy | null;
  /** The client sends "removeAfterSave" unless the request says otherwise. */
  staleProfiles?: "removeFirst" | "removeAfterSave" | null;
  takeOver?: boolean | null;
}

export interface UpdateAppRulesRequest extends RuleChoices {
  excludedApps: string[];
}

export interface ExportRequest extends Omit<ConnectRequest, "privateKey" | "excludedApps"> {
  privateKey?: string;
  excludedApps: [];
  export: {
    payloadIdentifier: string;
    applicationBundleIdentifier: string;
    organization?: string | null;
    apps?: string[] | null;
  };
}

export interface PlatformErrorMembers {
  domain: string;
  code: number;
}

export interface StatusDocument {
  configured: boolean;
  connected: boolean;
  connecting: boolean;
  disconnecting: boolean;
  status: Status;
  perAppMode: boolean;
  appRuleCount: number;
  serverAddress: string | null;
  /** RFC 3339, UTC, milliseconds. */
  connectedSince: string | null;
  lastDisconnectError: { message: string; domain: string | null; code: number | null } | null;
  onDemand: { enabled: boolean; rules: OnDemandRule[] };
  networkPolicy: {
    includeAllNetworks: boolean;
    excludeLocalNetworks: boolean;
    disconnectOnSleep: boolean;
    enforceRoutes: boolean;
  } | null;
  appRules: { signingIdentifier: string; matchPath: string | null }[];
  enabled?: boolean | null;
  displaced?: boolean;
  skippedApplications?: { path: string; reason: SkipReason }[];
}

export interface VersionDocument {
  version: string;
  protocols: number[];
  commands: string[];
  features?: string[];
}

export interface ExportDocument {
  mobileconfig: string;
  payloadIdentifier: string;
  payloadUUID: string;
  vpnUUID: string | null;
  appMappings: { signingIdentifier: string; designatedRequirement: string; application: string }[];
  skippedApplications: { path: string; reason: SkipReason }[];
  notExported: string[];
}

export interface CallOptions {
  /** Aborting sends the tool SIGTERM: the call then rejects with its "stopped" failure, or with
   * the signal's reason when nothing came back. */
  signal?: AbortSignal;
}

/** A failure the tool reported. */
export class KeloError extends Error {
  code: FailureCode;
  step: Step | null;
  platformError: PlatformErrorMembers | null;
  signal: "SIGTERM" | "SIGINT" | "SIGHUP" | null;
  paths: string[];
  repairError: { message: string; step: Step; platformError: PlatformErrorMembers | null } | null;
  document: Record<string, unknown>;
}

/** The tool could not be started (launchError: Node's code, such as "ENOENT"), or ended without
 * a document of its own (killed, out of time, not this tool). */
export class KeloLaunchError extends Error {
  launchError: string | null;
  exitStatus: number | null;
  exitSignal: string | null;
  output: string;
}

export class KeloClient {
  /** timeoutMs: when a run that has not ended is stopped (18 s; the tool's own bound is 15 s). */
  constructor(toolPath: string, options?: { timeoutMs?: number });
  readonly toolPath: string;
  readonly timeoutMs: number;
  status(options?: CallOptions): Promise<StatusDocument>;
  connect(request: ConnectRequest, options?: CallOptions): Promise<StatusDocument>;
  disconnect(options?: CallOptions): Promise<StatusDocument>;
  updateAppRules(request: UpdateAppRulesRequest, options?: CallOptions): Promise<StatusDocument>;
  remove(options?: CallOptions): Promise<StatusDocument>;
  wait(options?: { until?: Status[]; timeoutSeconds?: number } & CallOptions): Promise<StatusDocument>;
  version(options?: CallOptions): Promise<VersionDocument>;
  export(request: ExportRequest, options?: CallOptions): Promise<ExportDocument>;
  /** The status now, then each change, built on "wait", until the signal aborts. */
  watch(options?: CallOptions): AsyncGenerator<StatusDocument, void, void>;
}
