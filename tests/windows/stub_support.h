// What the generated stub of python3.dll is made of. Its names come from the
// export list, so the declarations here cannot match Python's own: nothing
// here may include Python.h.
#pragma once

extern "C" [[noreturn]] void kiln_stub_called(const char* name);

// A function the module must not call while it is only loaded and asked for
// its module definition.
#define KILN_STUB_FUNC(name) \
    extern "C" void name() { kiln_stub_called(#name); }
// An exported object: the module only takes its address.
#define KILN_STUB_DATA(name) \
    extern "C" {                \
    alignas(16) char name[1024]; \
    }
