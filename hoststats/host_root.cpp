#include "hoststats/host_root.hpp"

namespace hoststats {

HostRoot HostRoot::under(std::string_view prefix) {
    HostRoot root;
    root.proc = std::string(prefix) + "/proc";
    root.sys = std::string(prefix) + "/sys";
    return root;
}

}  // namespace hoststats
