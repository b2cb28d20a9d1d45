#pragma once
// Whether the tests run under valgrind (scripts/valgrind.sh sets NX_UNDER_VALGRIND). Memcheck
// needs each code path once, not every repetition: the largest tables and volumes then take
// coarser strides and smaller sizes, the same paths still walked.
#include <cstdlib>

namespace nxtest {
inline bool UnderValgrind() {
    return std::getenv("NX_UNDER_VALGRIND") != nullptr;
}
} // namespace nxtest
