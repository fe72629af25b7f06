#include "stub_support.h"

#include <cstdio>
#include <cstdlib>

extern "C" void kiln_stub_called(const char* name) {
    std::fprintf(stderr, "stub python3.dll: %s was called\n", name);
    std::fflush(stderr);
    std::abort();
}

// The module's entry returns PyModuleDef_Init(&definition); the real one also
// initialises the definition's object header, which the load check does not read.
extern "C" void* PyModuleDef_Init(void* definition) { return definition; }
