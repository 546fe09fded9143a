// Host methods of the plan group.
#include "call_frame.hpp"

namespace kelvara::py {

void add_plan(RegistryClass& cls) { (void)cls; }

}  // namespace kelvara::py
