// Host methods of the pipeline group.
#include "call_frame.hpp"

namespace kelvara::py {

void add_pipeline(RegistryClass& cls) { (void)cls; }

}  // namespace kelvara::py
