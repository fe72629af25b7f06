// Loads the _kiln.pyd that sits beside this program, with the stub python3.dll
// beside it too: every import must resolve, and PyInit__kiln must hand back
// the module definition of "_kiln" (multi-phase initialisation, so nothing of
// the stub but PyModuleDef_Init is called).
#include <Python.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

int main() {
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length == MAX_PATH) {
        std::printf("FAIL: own path unknown (error %lu)\n", GetLastError());
        return 1;
    }
    std::wstring pyd(self, length);
    pyd.erase(pyd.find_last_of(L"\\/") + 1);
    pyd += L"_kiln.pyd";

    // The altered search path finds python3.dll in the module's own folder
    // first, as the interpreter's import does.
    HMODULE module = LoadLibraryExW(pyd.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) {
        // 126: a DLL is missing; 127: a DLL lacks a name the module imports.
        std::printf("FAIL: LoadLibrary(_kiln.pyd) failed with error %lu\n", GetLastError());
        return 1;
    }
    auto entry = reinterpret_cast<PyObject* (*)()>(reinterpret_cast<void*>(GetProcAddress(module, "PyInit__kiln")));
    if (!entry) {
        std::printf("FAIL: PyInit__kiln is not exported (error %lu)\n", GetLastError());
        return 1;
    }
    auto* definition = reinterpret_cast<PyModuleDef*>(entry());
    if (!definition || !definition->m_name || std::strcmp(definition->m_name, "_kiln") != 0) {
        std::printf("FAIL: PyInit__kiln returned %p, not the definition of _kiln\n", static_cast<void*>(definition));
        return 1;
    }
    if (!definition->m_slots) {
        std::printf("FAIL: the definition of _kiln has no slots (single-phase initialisation)\n");
        return 1;
    }
    std::printf("ok: _kiln.pyd loaded, every import resolved, PyInit__kiln returned the definition of \"%s\"\n",
                definition->m_name);
    return 0;
}
