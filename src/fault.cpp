#include "fault.hpp"

#include <cstdio>

namespace qm {

void fault(const std::string& message) {
    std::fprintf(stderr, "quillmarten: fault: %s\n", message.c_str());
    std::fflush(stderr);
    throw Fault(message);
}

}  // namespace qm
