// Load and unload notifications of TALVO.dll.  A port that cannot be opened
// makes the load fail.  No lock is taken here: a lock held while the process
// exits could hang it.
#include <windows.h>

#include "platform/module_entry.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            return talvo::ModuleAttach() ? TRUE : FALSE;
        case DLL_PROCESS_DETACH:
            talvo::ModuleDetach();
            return TRUE;
        default:
            return TRUE;
    }
}
