import Foundation

/// Why a call failed: the tool's own failure, by its code; or a tool that could not be run or
/// gave no answer of its own, which is never taken for a failure code.
public enum KeloError: Error, Sendable {
    /// The failure document the tool wrote.
    case failure(Failure)
    /// The program could not be started (missing, not executable, no resources).
    case notStarted(String)
    /// The program ended without a document: killed, out of time, or not this tool.
    case noDocument(exitStatus: Int32, killedBy: Int32?, output: String)

    /// The failure's code, when the tool reported one.
    public var code: FailureCode? {
        if case .failure(let failure) = self { return failure.code }
        return nil
    }
}

/// A protocol 2 failure document.
public struct Failure: Decodable, Equatable, Sendable {
    public struct Repair: Decodable, Equatable, Sendable {
        public var message: String
        public var step: String
        public var platformError: PlatformErrorCode?
    }

    /// The message, for logs; not for sorting.
    public var message: String
    public var code: FailureCode
    public var step: String?
    public var platformError: PlatformErrorCode?
    /// For a stop: "SIGTERM", "SIGINT" or "SIGHUP".
    public var signal: String?
    /// For `applicationNotFound`: every entry that names nothing installed.
    public var paths: [String]?
    /// When switching on-demand back on failed too: on-demand is off now.
    public var repairError: Repair?

    enum CodingKeys: String, CodingKey {
        case message = "error", code, step, platformError, signal, paths, repairError
    }

    public init(from decoder: Decoder) throws {
        let container = try decoder.container(keyedBy: CodingKeys.self)
        message = try container.decode(String.self, forKey: .message)
        code = try container.decodeIfPresent(FailureCode.self, forKey: .code) ?? .unknown("")
        step = try container.decodeIfPresent(String.self, forKey: .step)
        platformError = try container.decodeIfPresent(PlatformErrorCode.self, forKey: .platformError)
        signal = try container.decodeIfPresent(String.self, forKey: .signal)
        paths = try container.decodeIfPresent([String].self, forKey: .paths)
        repairError = try container.decodeIfPresent(Repair.self, forKey: .repairError)
    }
}
