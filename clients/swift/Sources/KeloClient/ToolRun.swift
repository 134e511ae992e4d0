import Foundation

#if canImport(Glibc)
import Glibc
#elseif canImport(Darwin)
import Darwin
#endif

/// What one run of the tool left: its exit, and both streams.
struct ToolOutcome: Sendable {
    var exitStatus: Int32
    var killedBy: Int32?
    var standardOutput: Data
    var standardError: Data
}

/// One run of the tool on a thread of its own: the request written to its standard input, both
/// streams read to their ends, stopped (SIGTERM) when cancelled or at `bound`, and killed two
/// seconds after a stop it does not obey.
final class ToolRun: @unchecked Sendable {
    private let lock = NSLock()
    private var process: Process?
    private var stopped = false

    func run(_ tool: URL, _ arguments: [String], input: Data, bound: TimeInterval) throws
        -> ToolOutcome
    {
        let process = Process()
        process.executableURL = tool
        process.arguments = arguments
        let output = Pipe()
        let errors = Pipe()
        process.standardOutput = output
        process.standardError = errors
        // Standard input is a socket, written without SIGPIPE: a tool that exits without
        // reading its request must never kill the calling application.
        var ends: [Int32] = [-1, -1]
        guard socketpair(AF_UNIX, Int32(socketStreamType), 0, &ends) == 0 else {
            throw KeloError.notStarted("no socket for the request: \(String(cString: strerror(errno)))")
        }
        #if canImport(Darwin)
        var on: Int32 = 1
        setsockopt(ends[0], SOL_SOCKET, SO_NOSIGPIPE, &on, socklen_t(MemoryLayout<Int32>.size))
        #endif
        let childEnd = FileHandle(fileDescriptor: ends[1], closeOnDealloc: true)
        process.standardInput = childEnd
        do {
            lock.lock()
            defer { lock.unlock() }
            if stopped {
                close(ends[0])
                throw CancellationError()
            }
            try process.run()
            self.process = process
        } catch let error as CancellationError {
            throw error
        } catch {
            close(ends[0])
            throw KeloError.notStarted(error.localizedDescription)
        }
        try? childEnd.close()

        let deadline = DispatchWorkItem { [weak self] in self?.stop() }
        DispatchQueue.global().asyncAfter(deadline: .now() + bound, execute: deadline)
        defer { deadline.cancel() }

        // Both streams are read to their ends while the request is written, so that neither
        // side waits for the other.
        let read = StreamsRead()
        let group = DispatchGroup()
        DispatchQueue.global().async(group: group) {
            read.set(output: output.fileHandleForReading.readDataToEndOfFile())
        }
        DispatchQueue.global().async(group: group) {
            read.set(errors: errors.fileHandleForReading.readDataToEndOfFile())
        }
        writeAll(input, to: ends[0])
        close(ends[0])
        group.wait()
        let (standardOutput, standardError) = read.both()
        process.waitUntilExit()
        let killed = process.terminationReason == .uncaughtSignal
        return ToolOutcome(exitStatus: killed ? -1 : process.terminationStatus,
                           killedBy: killed ? process.terminationStatus : nil,
                           standardOutput: standardOutput, standardError: standardError)
    }

    /// Sends the tool SIGTERM, and SIGKILL two seconds later if it still runs; before the
    /// start, keeps it from starting.
    func stop() {
        lock.lock()
        stopped = true
        let process = self.process
        lock.unlock()
        guard let process, process.isRunning else { return }
        let pid = process.processIdentifier
        kill(pid, SIGTERM)
        DispatchQueue.global().asyncAfter(deadline: .now() + 2) {
            if process.isRunning { kill(pid, SIGKILL) }
        }
    }

    private func writeAll(_ data: Data, to descriptor: Int32) {
        data.withUnsafeBytes { (buffer: UnsafeRawBufferPointer) in
            guard var next = buffer.baseAddress else { return }
            var left = buffer.count
            while left > 0 {
                let written = send(descriptor, next, left, noSignalFlag)
                if written < 0 {
                    if errno == EINTR { continue }
                    return  // the tool is gone, or read no more: its answer says why
                }
                left -= written
                next += written
            }
        }
    }
}

#if canImport(Glibc)
private let socketStreamType = SOCK_STREAM.rawValue
private let noSignalFlag = Int32(MSG_NOSIGNAL)
#else
private let socketStreamType = SOCK_STREAM
private let noSignalFlag: Int32 = 0
#endif

/// The two streams' bytes, each set once by the thread that read it.
private final class StreamsRead: @unchecked Sendable {
    private let lock = NSLock()
    private var output = Data()
    private var errors = Data()

    func set(output: Data) { lock.lock(); self.output = output; lock.unlock() }
    func set(errors: Data) { lock.lock(); self.errors = errors; lock.unlock() }
    func both() -> (Data, Data) {
        lock.lock()
        defer { lock.unlock() }
        return (output, errors)
    }
}
