// The exports of nimbracore.dll as the program and the modules import them.
#pragma once

// Platform
#include <windows.h>

// Shared interfaces
#include "ext/NimbraIntf.h"

extern "C" {

// Host registration and forwarding.
__declspec(dllimport) int32_t __stdcall NimbraGetInterfaceVersion();
__declspec(dllimport) void __stdcall NimbraGetCurrentThread(IUnknown** result);
__declspec(dllimport) void __stdcall NimbraGetApplication(IApplication** result);
__declspec(dllimport) void __stdcall NimbraSetMain(IMainLink* main);

// The one heap of the process.
__declspec(dllimport) void* __stdcall NimbraSysReallocMem(void* block, size_t size);
__declspec(dllimport) int32_t __stdcall NimbraSysFreeMem(void* block);
__declspec(dllimport) void* __stdcall NimbraSysGetMem(size_t size);
}

// Export names of nimbracore.dll, with their ordinals.
inline constexpr const char* kNimbraExportGetInterfaceVersion = "Nimbra@GetInterfaceVersion"; // 1
inline constexpr const char* kNimbraExportGetCurrentThread = "Nimbra@GetCurrentThread";       // 2
inline constexpr const char* kNimbraExportGetApplication = "Nimbra@GetApplication";           // 3
inline constexpr const char* kNimbraExportSetMain = "Nimbra@SetMain";                         // 4
inline constexpr const char* kNimbraExportSysReallocMem = "Nimbra@SysReallocMem";             // 5
inline constexpr const char* kNimbraExportSysFreeMem = "Nimbra@SysFreeMem";                   // 6
inline constexpr const char* kNimbraExportSysGetMem = "Nimbra@SysGetMem";                     // 7
