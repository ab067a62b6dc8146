// The program body of nimbra.exe.

// Own
#include "app/nimyaml.h"

// Shared interfaces
#include "ext/core/nimbracore.h"

// Toolkit
#include "lw/LExceptions.h"

// Platform
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    SetApplicationTitle(L"Nimbra");
    try {
        // Start-up of the application object comes here. Until then the
        // program initialises its units and ends with the host registration
        // cleared, as a shut-down does.
        NimbraSetMain(nullptr);
    } catch (...) {
        ShowException(std::current_exception());
        return 1;
    }
    return 0;
}
