import Foundation

/// A word of the protocol that this client may not know yet: a later tool may send others.
public protocol OpenWord: Equatable, Sendable, Codable, CustomStringConvertible {
    static var known: [Self] { get }
    static func unknown(_ word: String) -> Self
    var word: String { get }
}

extension OpenWord {
    public init(from decoder: Decoder) throws {
        let word = try decoder.singleValueContainer().decode(String.self)
        self = Self.known.first { $0.word == word } ?? .unknown(word)
    }
    public func encode(to encoder: Encoder) throws {
        var container = encoder.singleValueContainer()
        try container.encode(word)
    }
    public var description: String { word }
}

/// The status of a tunnel, as the tool names it.
public enum TunnelStatus: OpenWord, Hashable {
    case invalid, disconnected, connecting, connected, reasserting, disconnecting
    case unknown(String)

    public static let known: [TunnelStatus] = [
        .invalid, .disconnected, .connecting, .connected, .reasserting, .disconnecting,
    ]
    public var word: String {
        switch self {
        case .invalid: return "invalid"
        case .disconnected: return "disconnected"
        case .connecting: return "connecting"
        case .connected: return "connected"
        case .reasserting: return "reasserting"
        case .disconnecting: return "disconnecting"
        case .unknown(let word): return word
        }
    }
}

/// What a failure is, for sorting failures without reading their text.
public enum FailureCode: OpenWord {
    case usage, invalidRequest, applicationNotFound, noApplications, noUsableRules
    case notConfigured, notPerApp, platform, timedOut, stopped, unsupported, resources
    case `internal`, otherVpnSelected
    case unknown(String)

    public static let known: [FailureCode] = [
        .usage, .invalidRequest, .applicationNotFound, .noApplications, .noUsableRules,
        .notConfigured, .notPerApp, .platform, .timedOut, .stopped, .unsupported, .resources,
        .internal, .otherVpnSelected,
    ]
    public var word: String {
        switch self {
        case .usage: return "usage"
        case .invalidRequest: return "invalidRequest"
        case .applicationNotFound: return "applicationNotFound"
        case .noApplications: return "noApplications"
        case .noUsableRules: return "noUsableRules"
        case .notConfigured: return "notConfigured"
        case .notPerApp: return "notPerApp"
        case .platform: return "platform"
        case .timedOut: return "timedOut"
        case .stopped: return "stopped"
        case .unsupported: return "unsupported"
        case .resources: return "resources"
        case .internal: return "internal"
        case .otherVpnSelected: return "otherVpnSelected"
        case .unknown(let word): return word
        }
    }
}

public struct OnDemandRule: Codable, Equatable, Sendable {
    public enum Action: String, Codable, Sendable { case connect, disconnect, ignore }
    public enum InterfaceType: String, Codable, Sendable { case any, ethernet, wifi }

    public var action: Action
    public var interfaceType: InterfaceType?
    public var ssids: [String]?

    public init(action: Action, interfaceType: InterfaceType? = nil, ssids: [String]? = nil) {
        self.action = action
        self.interfaceType = interfaceType
        self.ssids = ssids
    }
}

/// The traffic settings a connect may choose; nil leaves each to the tool.
public struct NetworkPolicy: Codable, Equatable, Sendable {
    public var includeAllNetworks: Bool?
    public var excludeLocalNetworks: Bool?
    public var enforceRoutes: Bool?
    public var disconnectOnSleep: Bool?

    public init(includeAllNetworks: Bool? = nil, excludeLocalNetworks: Bool? = nil,
                enforceRoutes: Bool? = nil, disconnectOnSleep: Bool? = nil) {
        self.includeAllNetworks = includeAllNetworks
        self.excludeLocalNetworks = excludeLocalNetworks
        self.enforceRoutes = enforceRoutes
        self.disconnectOnSleep = disconnectOnSleep
    }
}

public enum RuleCoverage: String, Codable, Sendable { case firstExecutable, wholeApplication }
public enum MissingApps: String, Codable, Sendable { case fail, skip }
public enum StaleProfiles: String, Codable, Sendable { case removeFirst, removeAfterSave }

/// The request of "connect". The rule coverage and the removal of stale profiles default to
/// what is right on a Mac; nil leaves them to the tool's own defaults.
public struct ConnectRequest: Encodable, Equatable, Sendable {
    public var privateKey: String
    public var address: String
    public var dns: String
    public var peerPublicKey: String
    public var peerEndpoint: String
    public var allowedIps: String
    public var mtu: Int64?
    public var keepaliveSeconds: Int64?
    public var excludedApps: [String]
    public var onDemandRules: [OnDemandRule]?
    public var networkPolicy: NetworkPolicy?
    public var staleProfiles: StaleProfiles? = .removeAfterSave
    public var ruleCoverage: RuleCoverage? = .wholeApplication
    public var missingApps: MissingApps?
    public var takeOver: Bool?

    public init(privateKey: String, address: String, dns: String, peerPublicKey: String,
                peerEndpoint: String, allowedIps: String, mtu: Int64? = nil,
                keepaliveSeconds: Int64? = nil, excludedApps: [String] = [],
                onDemandRules: [OnDemandRule]? = nil, networkPolicy: NetworkPolicy? = nil) {
        self.privateKey = privateKey
        self.address = address
        self.dns = dns
        self.peerPublicKey = peerPublicKey
        self.peerEndpoint = peerEndpoint
        self.allowedIps = allowedIps
        self.mtu = mtu
        self.keepaliveSeconds = keepaliveSeconds
        self.excludedApps = excludedApps
        self.onDemandRules = onDemandRules
        self.networkPolicy = networkPolicy
    }
}

/// The request of "update-app-rules"; whole-application rules unless chosen otherwise.
public struct AppRulesRequest: Encodable, Equatable, Sendable {
    public var excludedApps: [String]
    public var ruleCoverage: RuleCoverage? = .wholeApplication
    public var missingApps: MissingApps?

    public init(excludedApps: [String]) { self.excludedApps = excludedApps }
}

/// The request of "export": the connect settings, without a private key, and the profile's names.
public struct ExportRequest: Encodable, Equatable, Sendable {
    public struct Export: Encodable, Equatable, Sendable {
        public var payloadIdentifier: String
        public var applicationBundleIdentifier: String
        public var organization: String?
        public var apps: [String]?

        public init(payloadIdentifier: String, applicationBundleIdentifier: String,
                    organization: String? = nil, apps: [String]? = nil) {
            self.payloadIdentifier = payloadIdentifier
            self.applicationBundleIdentifier = applicationBundleIdentifier
            self.organization = organization
            self.apps = apps
        }
    }

    public var address: String
    public var dns: String
    public var peerPublicKey: String
    public var peerEndpoint: String
    public var allowedIps: String
    public var mtu: Int64?
    public var keepaliveSeconds: Int64?
    public let excludedApps: [String] = []
    public var onDemandRules: [OnDemandRule]?
    public var networkPolicy: NetworkPolicy?
    public var missingApps: MissingApps?
    public var export: Export

    public init(address: String, dns: String, peerPublicKey: String, peerEndpoint: String,
                allowedIps: String, export: Export) {
        self.address = address
        self.dns = dns
        self.peerPublicKey = peerPublicKey
        self.peerEndpoint = peerEndpoint
        self.allowedIps = allowedIps
        self.export = export
    }
}

/// The platform's own error: its domain and code.
public struct PlatformErrorCode: Codable, Equatable, Sendable {
    public var domain: String
    public var code: Int
}

/// A protocol 2 status document. Members a later tool adds are ignored.
public struct Status: Decodable, Equatable, Sendable {
    public struct LastDisconnectError: Decodable, Equatable, Sendable {
        public var message: String
        public var domain: String?
        public var code: Int?
    }
    public struct OnDemand: Decodable, Equatable, Sendable {
        public var enabled: Bool
        public var rules: [OnDemandRule]
    }
    public struct Policy: Decodable, Equatable, Sendable {
        public var includeAllNetworks: Bool
        public var excludeLocalNetworks: Bool
        public var disconnectOnSleep: Bool
        public var enforceRoutes: Bool
    }
    public struct AppRule: Decodable, Equatable, Sendable {
        public var signingIdentifier: String
        public var matchPath: String?
    }

    public var configured: Bool
    public var connected: Bool
    public var connecting: Bool
    public var disconnecting: Bool
    public var status: TunnelStatus
    public var perAppMode: Bool
    public var appRuleCount: Int
    public var serverAddress: String?
    /// When the tunnel came up, while it reads connected.
    public var connectedSince: Date?
    public var lastDisconnectError: LastDisconnectError?
    public var onDemand: OnDemand
    public var networkPolicy: Policy?
    public var appRules: [AppRule]
    /// Whether the profile is the Mac's selected VPN configuration; nil without a profile.
    public var enabled: Bool?
    /// True when another VPN configuration has taken the Mac's one slot.
    public var displaced: Bool?
    public var skippedApplications: [SkippedApplication]?
}

public struct SkippedApplication: Decodable, Equatable, Sendable {
    public enum Reason: OpenWord {
        case notSigned, noIdentifier, noRequirement, notUtf8, outputTooLarge, notStarted
        case noExecutable, systemApp, notInstalled
        case unknown(String)

        public static let known: [Reason] = [
            .notSigned, .noIdentifier, .noRequirement, .notUtf8, .outputTooLarge, .notStarted,
            .noExecutable, .systemApp, .notInstalled,
        ]
        public var word: String {
            switch self {
            case .notSigned: return "notSigned"
            case .noIdentifier: return "noIdentifier"
            case .noRequirement: return "noRequirement"
            case .notUtf8: return "notUtf8"
            case .outputTooLarge: return "outputTooLarge"
            case .notStarted: return "notStarted"
            case .noExecutable: return "noExecutable"
            case .systemApp: return "systemApp"
            case .notInstalled: return "notInstalled"
            case .unknown(let word): return word
            }
        }
    }

    public var path: String
    public var reason: Reason
}

/// The answer of "version".
public struct Version: Decodable, Equatable, Sendable {
    public var version: String
    public var protocols: [Int]
    public var commands: [String]
    /// Empty for a tool that predates them: send only what is listed.
    public var features: [String]

    enum CodingKeys: String, CodingKey { case version, protocols, commands, features }

    public init(from decoder: Decoder) throws {
        let container = try decoder.container(keyedBy: CodingKeys.self)
        version = try container.decode(String.self, forKey: .version)
        protocols = try container.decode([Int].self, forKey: .protocols)
        commands = try container.decode([String].self, forKey: .commands)
        features = try container.decodeIfPresent([String].self, forKey: .features) ?? []
    }
}

/// The answer of "export".
public struct ExportedProfile: Decodable, Equatable, Sendable {
    public struct AppMapping: Decodable, Equatable, Sendable {
        public var signingIdentifier: String
        public var designatedRequirement: String
        public var application: String
    }

    public var mobileconfig: String
    public var payloadIdentifier: String
    public var payloadUUID: String
    public var vpnUUID: String?
    public var appMappings: [AppMapping]
    public var skippedApplications: [SkippedApplication]
    public var notExported: [String]
}
