// Linked into the benchmarks' baseline build of the tool in place of the rule builder's own
// bound: one code-signing child at a time, as the tool ran them before they ran side by side.
#include "apprules/rule_building.h"

namespace kelo::apprules {

unsigned maximumConcurrentInspections() {
  return 1;
}

}  // namespace kelo::apprules
