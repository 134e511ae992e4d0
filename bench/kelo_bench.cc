// Figures for the tool's hot paths in process: request decoding, the status document, and
// discovery and resolution over a generated application tree (whole runs of the tool are in
// process_bench.cc). Run: build with -DKELO_BUILD_BENCHMARKS=ON, then build/bench/kelo_bench.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "apprules/discovery.h"
#include "apprules/executable_resolution.h"
#include "payloads/requests.h"
#include "payloads/status_payload.h"

namespace kelo {
namespace {

namespace fs = std::filesystem;

std::string connectRequest(int excluded) {
  std::string apps;
  for (int index = 0; index < excluded; ++index) {
    apps += (index ? ",\"" : "\"") + std::string("/Applications/App") + std::to_string(index) +
            ".app\"";
  }
  return R"({"privateKey":"yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=","address":"10.8.0.2/32",)"
         R"("dns":"1.1.1.1","peerPublicKey":"xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=",)"
         R"("peerEndpoint":"203.0.113.5:51820","allowedIps":"0.0.0.0/0","mtu":1280,"excludedApps":[)" +
         apps + "]}";
}

void DecodeConnectRequest(benchmark::State& state) {
  const std::string request = connectRequest(static_cast<int>(state.range(0)));
  for ([[maybe_unused]] auto _ : state) {
    benchmark::DoNotOptimize(ConnectPayload::decode(request));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * request.size()));
}
BENCHMARK(DecodeConnectRequest)->Arg(0)->Arg(100)->Arg(10000);

void EncodeStatusDocument(benchmark::State& state) {
  const StatusPayload payload{true, false, true, false, "connecting", true, 42};
  for ([[maybe_unused]] auto _ : state) {
    benchmark::DoNotOptimize(payload.encoded());
  }
}
BENCHMARK(EncodeStatusDocument);

// A root with `count` bundles spread over two levels of folders.
class ApplicationTree {
 public:
  explicit ApplicationTree(int count)
      : root_(fs::temp_directory_path() / ("kelo-bench-" + std::to_string(getpid()))) {
    for (int index = 0; index < count; ++index) {
      const fs::path macos = root_ / ("Group" + std::to_string(index % 10)) /
                             ("App" + std::to_string(index) + ".app") / "Contents" / "MacOS";
      fs::create_directories(macos);
      std::ofstream(macos / ("App" + std::to_string(index)));
    }
  }
  ~ApplicationTree() { fs::remove_all(root_); }
  std::string root() const { return root_.string(); }

 private:
  fs::path root_;
};

void DiscoverApplications(benchmark::State& state) {
  const ApplicationTree tree(static_cast<int>(state.range(0)));
  for ([[maybe_unused]] auto _ : state) {
    benchmark::DoNotOptimize(apprules::discoverInstalledApplications({tree.root()}));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(DiscoverApplications)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

void ResolveBundle(benchmark::State& state) {
  const ApplicationTree tree(1);
  const std::string bundle = tree.root() + "/Group0/App0.app/";
  for ([[maybe_unused]] auto _ : state) {
    benchmark::DoNotOptimize(apprules::canonicalExecutablePath(bundle));
  }
}
BENCHMARK(ResolveBundle);

}  // namespace
}  // namespace kelo

BENCHMARK_MAIN();
