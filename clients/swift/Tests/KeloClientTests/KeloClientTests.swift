// The client against the simulated build of the tool (KELO_TOOL), in a scratch home: every
// command, the failure families by code, protocol 2's members, a status stream that sees another
// process's change, cancellation, and stand-ins for a tool that exits without reading its
// request and one that never answers.
import Foundation
import XCTest

@testable import KeloClient

final class KeloClientTests: XCTestCase {
    private var home: URL!
    private var tool: URL!
    private var client: KeloClient { KeloClient(toolURL: tool) }

    private let request = ConnectRequest(
        privateKey: "cHJpdmF0ZQ==", address: "10.8.0.2/32", dns: "1.1.1.1",
        peerPublicKey: "cGVlcg==", peerEndpoint: "203.0.113.5:51820", allowedIps: "0.0.0.0/0")

    override func setUpWithError() throws {
        // scripts/test.sh names it; on a Mac, where no simulated build runs, these are skipped.
        guard let path = ProcessInfo.processInfo.environment["KELO_TOOL"] else {
            throw XCTSkip("KELO_TOOL names no simulated build of the tool")
        }
        tool = URL(fileURLWithPath: path)
        home = FileManager.default.temporaryDirectory
            .appendingPathComponent("kelo-swift-client-\(UUID().uuidString)")
        try FileManager.default.createDirectory(at: home, withIntermediateDirectories: true)
        setenv("HOME", home.path, 1)  // the tool's children inherit it
    }

    override func tearDownWithError() throws {
        try? FileManager.default.removeItem(at: home)
    }

    private func standIn(_ name: String, _ script: String) throws -> KeloClient {
        let url = home.appendingPathComponent(name)
        try "#!/bin/sh\n\(script)\n".write(to: url, atomically: true, encoding: .utf8)
        try FileManager.default.setAttributes([.posixPermissions: 0o755], ofItemAtPath: url.path)
        return KeloClient(toolURL: url, timeout: 0.3)
    }

    private func failure<T>(_ call: () async throws -> T) async -> KeloError? {
        do {
            _ = try await call()
            return nil
        } catch let error as KeloError {
            return error
        } catch {
            XCTFail("not a KeloError: \(error)")
            return nil
        }
    }

    func testEveryCommandAnswersItsDocument() async throws {
        let version = try await client.version()
        XCTAssertTrue(version.features.contains("takeOver"))
        let before = try await client.status()
        XCTAssertEqual(before.status, .invalid)
        XCTAssertEqual(before.configured, false)
        XCTAssertNil(before.enabled)
        let connecting = try await client.connect(request)
        XCTAssertEqual(connecting.status, .connecting)
        XCTAssertEqual(connecting.serverAddress, "203.0.113.5")
        XCTAssertEqual(connecting.displaced, false)
        XCTAssertEqual(connecting.networkPolicy?.includeAllNetworks, true)
        let connected = try await client.wait(until: [.connected], timeout: 5)
        XCTAssertEqual(connected.status, .connected)
        let since = try XCTUnwrap(connected.connectedSince)
        XCTAssertLessThan(abs(since.timeIntervalSinceNow), 60)
        let disconnecting = try await client.disconnect()
        XCTAssertEqual(disconnecting.status, .disconnecting)
        let exported = try await client.export(ExportRequest(
            address: "10.8.0.2/32", dns: "1.1.1.1", peerPublicKey: "cGVlcg==",
            peerEndpoint: "203.0.113.5:51820", allowedIps: "0.0.0.0/0",
            export: .init(payloadIdentifier: "com.example.vpn",
                          applicationBundleIdentifier: "com.example.app")))
        XCTAssertTrue(exported.mobileconfig.hasPrefix("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"))
        XCTAssertNil(exported.vpnUUID)
        let removed = try await client.remove()
        XCTAssertEqual(removed.configured, false)
    }

    func testFailuresAreDecodedToTheirCodes() async throws {
        let notConfigured = await failure {
            try await client.updateAppRules(.init(excludedApps: []))
        }
        XCTAssertEqual(notConfigured?.code, .notConfigured)
        var missing = request
        missing.excludedApps = ["/nowhere/Gone.app", "/nowhere/Else.app"]
        guard case .failure(let notFound)? = await failure({ try await client.connect(missing) })
        else { return XCTFail("no failure document") }
        XCTAssertEqual(notFound.code, .applicationNotFound)
        XCTAssertEqual(notFound.paths, ["/nowhere/Gone.app", "/nowhere/Else.app"])
        guard case .failure(let refused)? = await failure({ try await client.wait(timeout: 20) })
        else { return XCTFail("no failure document") }
        XCTAssertEqual(refused.code, .invalidRequest)
        XCTAssertEqual(refused.step, "request")
        // The only application installed is the one excluded.
        let only = home.appendingPathComponent("Applications/Only.app/Contents/MacOS")
        try FileManager.default.createDirectory(at: only, withIntermediateDirectories: true)
        XCTAssertTrue(FileManager.default.createFile(
            atPath: only.appendingPathComponent("Only").path, contents: Data(),
            attributes: [.posixPermissions: 0o755]))
        var nothingLeft = request
        nothingLeft.excludedApps = [home.appendingPathComponent("Applications/Only.app").path]
        let noApplications = await failure { try await client.connect(nothingLeft) }
        XCTAssertEqual(noApplications?.code, .noApplications)
        // A code this client does not know yet is kept as it came.
        let later = try standIn("later", #"echo '{"error":"new","code":"someNewCode"}' >&2; exit 1"#)
        let unknown = await failure { try await later.status() }
        XCTAssertEqual(unknown?.code, .unknown("someNewCode"))
    }

    func testTheStatusStreamSeesAnotherProcesssChange() async throws {
        var seen: [TunnelStatus] = []
        let other = Process()
        other.executableURL = tool
        other.arguments = ["connect"]
        let input = Pipe()
        other.standardInput = input
        other.standardOutput = FileHandle.nullDevice
        for try await status in client.statusUpdates() {
            seen.append(status.status)
            if seen.count == 1 {
                try other.run()
                input.fileHandleForWriting.write(try JSONEncoder().encode(request))
                try input.fileHandleForWriting.close()
            }
            if status.status == .connected { break }
        }
        other.waitUntilExit()
        XCTAssertEqual(seen.first, .invalid)
        XCTAssertEqual(seen.last, .connected)
        _ = try await client.remove()
    }

    func testCancellingTheTaskStopsTheTool() async throws {
        let began = Date()
        let waiting = Task { try await client.wait(until: [.reasserting], timeout: 10) }
        try await Task.sleep(nanoseconds: 1_000_000_000)
        waiting.cancel()
        do {
            _ = try await waiting.value
            XCTFail("the wait was not stopped")
        } catch KeloError.failure(let stopped) {
            XCTAssertEqual(stopped.code, .stopped)
            XCTAssertEqual(stopped.signal, "SIGTERM")
        } catch is CancellationError {
            // a tool still starting up when it was stopped answers nothing
        }
        XCTAssertLessThan(Date().timeIntervalSince(began), 6)
    }

    func testAToolThatDoesNotReadOrNeverAnswersEndsTheCallNotTheCaller() async throws {
        // Exits without reading a request far larger than a pipe holds: no SIGPIPE here.
        let quitter = try standIn("quitter", "exit 0")
        var large = request
        large.excludedApps = Array(repeating: "/Applications/Some Application.app", count: 20000)
        guard case .noDocument(let status, _, _)? = await failure({ try await quitter.connect(large) })
        else { return XCTFail("a document from nothing") }
        XCTAssertEqual(status, 0)
        // Never answers, and ignores the stop: killed two seconds after it.
        let stuck = try standIn("stuck", "trap '' TERM\nwhile :; do sleep 1; done")
        let began = Date()
        guard case .noDocument(_, let signal, _)? = await failure({ try await stuck.status() })
        else { return XCTFail("a document from nothing") }
        XCTAssertEqual(signal, SIGKILL)
        XCTAssertLessThan(Date().timeIntervalSince(began), 10)
        let missing = KeloClient(toolURL: home.appendingPathComponent("missing"))
        guard case .notStarted? = await failure({ try await missing.status() })
        else { return XCTFail("a missing tool was started") }
    }
}
