// How many code-signing children rule building runs at once. A child spends nearly all of its
// life waiting, on its own start and exit and on the file system, rather than on a core (a
// real code-signing run takes tens of milliseconds of wall time for a few of CPU), so eight per
// core keep the cores busy. The ceiling of 64 bounds what one request may hold at the same
// time: two pipes and a thread per child, and the machine's process table.
#include <algorithm>
#include <thread>

#include "apprules/rule_building.h"

namespace kelo::apprules {

unsigned maximumConcurrentInspections() {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return std::clamp(cores * 8, 8u, 64u);
}

}  // namespace kelo::apprules
