import Foundation

/// Runs kelo-ne-manager, once per call, over protocol 2.
///
/// Every call resolves with the tool's document, or throws `KeloError`: `.failure` with the
/// tool's failure code, or `.notStarted` / `.noDocument` when the tool could not give one.
/// Cancelling the calling task sends the tool SIGTERM: the call then throws the tool's
/// `stopped` failure, or `CancellationError` when nothing came back.
public struct KeloClient: Sendable {
    public let toolURL: URL
    /// When a run that has not ended is stopped: a few seconds after the tool's own 15.
    public var timeout: TimeInterval

    public init(toolURL: URL, timeout: TimeInterval = 18) {
        self.toolURL = toolURL
        self.timeout = timeout
    }

    public func status() async throws -> Status { try await run("status") }
    public func disconnect() async throws -> Status { try await run("disconnect") }
    public func remove() async throws -> Status { try await run("remove") }
    public func version() async throws -> Version { try await run("version") }

    public func connect(_ request: ConnectRequest) async throws -> Status {
        try await run("connect", request)
    }

    public func updateAppRules(_ request: AppRulesRequest) async throws -> Status {
        try await run("update-app-rules", request)
    }

    public func export(_ request: ExportRequest) async throws -> ExportedProfile {
        try await run("export", request)
    }

    /// The status as soon as it reads one of `until` (by default a settled one), or when
    /// `timeout` seconds (at most 14) have passed.
    public func wait(until: [TunnelStatus]? = nil, timeout: TimeInterval? = nil) async throws
        -> Status
    {
        struct WaitRequest: Encodable {
            var until: [TunnelStatus]?
            var timeoutSeconds: TimeInterval?
        }
        return try await run("wait", WaitRequest(until: until, timeoutSeconds: timeout))
    }

    /// The status now, then each change of it, one "wait" after another, each until any other
    /// status; ends when the consumer stops iterating, and throws what a call threw.
    public func statusUpdates() -> AsyncThrowingStream<Status, Error> {
        AsyncThrowingStream { continuation in
            let task = Task {
                do {
                    var current = try await status()
                    continuation.yield(current)
                    while !Task.isCancelled {
                        let others = TunnelStatus.known.filter { $0 != current.status }
                        let next = try await wait(until: others)
                        if next.status != current.status {
                            current = next
                            continuation.yield(current)
                        }
                    }
                    continuation.finish()
                } catch is CancellationError {
                    continuation.finish()
                } catch let error as KeloError where Task.isCancelled && error.code == .stopped {
                    continuation.finish()
                } catch {
                    continuation.finish(throwing: error)
                }
            }
            continuation.onTermination = { _ in task.cancel() }
        }
    }

    private struct NoRequest: Encodable {}

    private func run<Answer: Decodable>(_ command: String) async throws -> Answer {
        try await run(command, NoRequest?.none)
    }

    private func run<Request: Encodable, Answer: Decodable>(_ command: String, _ request: Request?)
        async throws -> Answer
    {
        let input = try request.map { try JSONEncoder().encode($0) } ?? Data()
        let toolRun = ToolRun()
        let (tool, bound) = (toolURL, timeout)
        let outcome = try await withTaskCancellationHandler {
            try await withCheckedThrowingContinuation {
                (continuation: CheckedContinuation<ToolOutcome, Error>) in
                Thread.detachNewThread {
                    continuation.resume(with: Result {
                        try toolRun.run(tool, [command, "--protocol=2"], input: input, bound: bound)
                    })
                }
            }
        } onCancel: {
            toolRun.stop()
        }
        let decoder = Self.decoder()
        if outcome.exitStatus == 0, let answer = try? decoder.decode(Answer.self, from: outcome.standardOutput) {
            return answer
        }
        if outcome.exitStatus == 1, let failure = try? decoder.decode(Failure.self, from: outcome.standardError) {
            throw KeloError.failure(failure)
        }
        if Task.isCancelled {
            throw CancellationError()
        }
        throw KeloError.noDocument(
            exitStatus: outcome.exitStatus, killedBy: outcome.killedBy,
            output: String(decoding: outcome.standardOutput + outcome.standardError, as: UTF8.self))
    }

    /// The decoder of the tool's documents.
    static func decoder() -> JSONDecoder {
        let decoder = JSONDecoder()
        decoder.dateDecodingStrategy = .custom(decodeDate)
        return decoder
    }

    /// RFC 3339 with milliseconds, as the tool writes its times.
    @Sendable private static func decodeDate(_ decoder: Decoder) throws -> Date {
        let text = try decoder.singleValueContainer().decode(String.self)
        let formatter = ISO8601DateFormatter()
        formatter.formatOptions = [.withInternetDateTime, .withFractionalSeconds]
        guard let date = formatter.date(from: text) else {
            throw DecodingError.dataCorrupted(
                .init(codingPath: decoder.codingPath, debugDescription: "not RFC 3339: \(text)"))
        }
        return date
    }
}
