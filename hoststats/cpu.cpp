// Placeholder until the CPU refresh lands: reads nothing.
#include "hoststats/cpu.hpp"

namespace hoststats {
CpusWrapper::CpusWrapper(const HostRoot* root) noexcept : root_(root) { cpus_.reserve(4); }
void CpusWrapper::refresh(bool, CpuSelection) {}
std::uint64_t monotonic_now_ns() noexcept { return 0; }
}  // namespace hoststats
