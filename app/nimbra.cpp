// The program body of nimbra.exe.

// Own
#include "app/UMain.h"

// Toolkit
#include "lw/LExceptions.h"

// Platform
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    auto* app = new TApplication;
    int exitCode = 0;
    try {
        app->Startup();
        app->SetTitle(kProductName);
        app->Run();
        exitCode = app->ExitCode();
    } catch (...) {
        // Whatever failed, the caller must not take it for success.
        exitCode = 2;
        ShowException(std::current_exception());
    }
    try {
        app->Shutdown();
        T0Object::Free(app);
    } catch (...) {
        ShowException(std::current_exception());
    }
    return exitCode;
}
