// Placeholder until the process scan lands: lists nothing.
#include "hoststats/system.hpp"

namespace hoststats {
void SystemInner::refresh_processes_specifics(const ProcessSelection&) {}
}  // namespace hoststats
