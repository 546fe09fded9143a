// Host methods of the compute group.
#include "call_frame.hpp"

namespace kelvara::py {

void add_compute(RegistryClass& cls) { (void)cls; }

}  // namespace kelvara::py
