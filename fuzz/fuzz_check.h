#pragma once
// The one way a fuzz target reports a wrong result: a message on stderr and an abort, which the
// fuzzer records as a finding together with the input.

#include <cstdio>
#include <cstdlib>

namespace pv::fuzz {

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

}  // namespace pv::fuzz
