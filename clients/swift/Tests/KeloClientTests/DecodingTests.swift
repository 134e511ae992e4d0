// Documents as the tool writes them, recorded, decoded without running it: every protocol 2
// member, words this client does not know yet, and members it ignores.
import Foundation
import XCTest

@testable import KeloClient

final class DecodingTests: XCTestCase {
    private func decode<T: Decodable>(_ type: T.Type, _ json: String) throws -> T {
        try KeloClient.decoder().decode(type, from: Data(json.utf8))
    }

    func testAStatusCarriesEveryMemberOfProtocolTwo() throws {
        let status = try decode(Status.self, #"""
            {"configured":true,"connected":true,"connecting":false,"disconnecting":false,
             "status":"connected","perAppMode":true,"appRuleCount":2,"serverAddress":"198.51.100.7",
             "connectedSince":"2025-12-05T16:00:00.250Z",
             "lastDisconnectError":{"message":"The server did not answer.","domain":"NEVPNConnectionErrorDomain","code":8},
             "onDemand":{"enabled":true,"rules":[{"action":"disconnect","interfaceType":"wifi","ssids":["Home"]},{"action":"connect","interfaceType":"any"}]},
             "networkPolicy":{"includeAllNetworks":false,"excludeLocalNetworks":false,"disconnectOnSleep":true,"enforceRoutes":false},
             "appRules":[{"signingIdentifier":"com.example.mail","matchPath":"/Applications/Mail.app/Contents/MacOS/Mail"},{"signingIdentifier":"com.example.any","matchPath":null}],
             "enabled":false,"displaced":true,
             "skippedApplications":[{"path":"/Applications/Old.app","reason":"notSigned"},{"path":"/x","reason":"someNewReason"}],
             "aMemberOfLater":{"any":"thing"}}
            """#)
        XCTAssertEqual(status.status, .connected)
        XCTAssertEqual(status.connectedSince, Date(timeIntervalSince1970: 1_764_950_400.25))
        XCTAssertEqual(status.lastDisconnectError?.code, 8)
        XCTAssertEqual(status.onDemand.rules,
                       [OnDemandRule(action: .disconnect, interfaceType: .wifi, ssids: ["Home"]),
                        OnDemandRule(action: .connect, interfaceType: .any)])
        XCTAssertEqual(status.networkPolicy?.disconnectOnSleep, true)
        XCTAssertEqual(status.appRules.map(\.matchPath),
                       ["/Applications/Mail.app/Contents/MacOS/Mail", nil])
        XCTAssertEqual(status.displaced, true)
        XCTAssertEqual(status.skippedApplications?.map(\.reason),
                       [.notSigned, .unknown("someNewReason")])
    }

    func testWordsOfALaterToolAreKeptAsTheyCame() throws {
        let status = try decode(Status.self, #"""
            {"configured":false,"connected":false,"connecting":false,"disconnecting":false,
             "status":"hibernating","perAppMode":false,"appRuleCount":0,"serverAddress":null,
             "connectedSince":null,"lastDisconnectError":null,"onDemand":{"enabled":false,"rules":[]},
             "networkPolicy":null,"appRules":[]}
            """#)
        XCTAssertEqual(status.status, .unknown("hibernating"))
        XCTAssertNil(status.enabled)
        let version = try decode(Version.self,
                                 #"{"version":"1.0.0","protocols":[1,2],"commands":["status"]}"#)
        XCTAssertEqual(version.features, [])
    }

    func testAFailureCarriesItsCodeStepAndRepair() throws {
        let failure = try decode(Failure.self, #"""
            {"error":"Failed to start packet tunnel: crashed The on-demand connection could not be switched back on: full.",
             "code":"platform","step":"start","platformError":{"domain":"NEVPNErrorDomain","code":1},
             "repairError":{"message":"full.","step":"save","platformError":null}}
            """#)
        XCTAssertEqual(failure.code, .platform)
        XCTAssertEqual(failure.step, "start")
        XCTAssertEqual(failure.platformError, PlatformErrorCode(domain: "NEVPNErrorDomain", code: 1))
        XCTAssertEqual(failure.repairError?.message, "full.")
        let missing = try decode(Failure.self, #"""
            {"error":"No executable found in \/A.app.","code":"applicationNotFound","step":"request","paths":["\/A.app",""]}
            """#)
        XCTAssertEqual(missing.paths, ["/A.app", ""])
        let stopped = try decode(Failure.self, #"""
            {"error":"Stopped by SIGTERM before the request was complete.","code":"stopped","step":"lock","signal":"SIGTERM"}
            """#)
        XCTAssertEqual(stopped.signal, "SIGTERM")
        XCTAssertEqual(try decode(Failure.self, #"{"error":"x","code":"new"}"#).code, .unknown("new"))
    }

    func testRequestsSendTheDefaultsThatAreRightOnAMacUnlessChosen() throws {
        var connect = ConnectRequest(privateKey: "k", address: "a", dns: "d", peerPublicKey: "p",
                                     peerEndpoint: "e", allowedIps: "i")
        func members(_ request: some Encodable) throws -> [String: Any] {
            try XCTUnwrap(JSONSerialization.jsonObject(with: JSONEncoder().encode(request))
                as? [String: Any])
        }
        XCTAssertEqual(try members(connect)["ruleCoverage"] as? String, "wholeApplication")
        XCTAssertEqual(try members(connect)["staleProfiles"] as? String, "removeAfterSave")
        XCTAssertNil(try members(connect)["takeOver"])
        connect.staleProfiles = nil
        connect.takeOver = false
        XCTAssertNil(try members(connect)["staleProfiles"])
        XCTAssertEqual(try members(connect)["takeOver"] as? Bool, false)
        XCTAssertEqual(try members(AppRulesRequest(excludedApps: []))["ruleCoverage"] as? String,
                       "wholeApplication")
    }
}
