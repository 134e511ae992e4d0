// Runs kelo-ne-manager once, in protocol 2: returns its status document, or throws a KeloFailure
// with the failure document's members. Call it off the main thread; it blocks until the tool ends
// (within 15 s of its start). To give up early, send the process SIGTERM and read the failure.
import Foundation

struct KeloFailure: Error { let document: [String: Any] }

func kelo(_ tool: URL, _ command: String, request: Data? = nil) throws -> [String: Any] {
    let process = Process(), input = Pipe(), output = Pipe(), error = Pipe()
    process.executableURL = tool
    process.arguments = [command, "--protocol=2"]
    (process.standardInput, process.standardOutput, process.standardError) = (input, output, error)
    try process.run()
    if let request { try? input.fileHandleForWriting.write(contentsOf: request) } // may be gone: EPIPE
    try? input.fileHandleForWriting.close()
    let outData = output.fileHandleForReading.readDataToEndOfFile()  // one document: fits a pipe
    let errData = error.fileHandleForReading.readDataToEndOfFile()
    process.waitUntilExit()
    let text = process.terminationStatus == 0 ? outData : errData
    let document = (try? JSONSerialization.jsonObject(with: text)) as? [String: Any] ?? [:]
    if process.terminationStatus == 0 && !document.isEmpty { return document }
    throw KeloFailure(document: document.isEmpty ? ["error": "exit status \(process.terminationStatus)"] : document)
}
