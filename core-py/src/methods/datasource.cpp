// Host methods of the datasource group.
#include "call_frame.hpp"

namespace kelvara::py {

void add_datasource(RegistryClass& cls) { (void)cls; }

}  // namespace kelvara::py
