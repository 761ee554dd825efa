// The test programs' heaps behave as the real programs' do (see
// use_low_fragmentation_heaps), so that timings under Wine mean something.
#include "core/platform/platform.h"

namespace {

const bool heaps_ready = [] {
  quarn::platform::use_low_fragmentation_heaps();
  return true;
}();

}  // namespace
