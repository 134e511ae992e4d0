// swift-tools-version:5.9
// A client of kelo-ne-manager for a Swift application: every command over protocol 2, typed.
import PackageDescription

let package = Package(
    name: "KeloClient",
    platforms: [.macOS(.v11)],
    products: [.library(name: "KeloClient", targets: ["KeloClient"])],
    targets: [
        .target(name: "KeloClient"),
        .testTarget(name: "KeloClientTests", dependencies: ["KeloClient"]),
    ]
)
