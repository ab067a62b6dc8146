// What the program tells about itself and the system it runs on: the text
// of the version box and the facts it is made of.
#pragma once

// Platform
#include <windows.h>

// Standard library
#include <cstdint>
#include <string>
#include <vector>

inline constexpr const wchar_t* kProgramVersion = L"2.48";
inline constexpr const wchar_t* kVersionBoxTitle = L"バージョン情報";

struct TModuleVersion {
    // The module's file name without its folder.
    std::wstring Name;
    // "major.minor.release.build" of its version resource, "" without one.
    std::wstring Version;
};

struct TVersionFacts {
    DWORD MajorVersion = 0;
    DWORD MinorVersion = 0;
    DWORD BuildNumber = 0;
    // The service pack text ("" for none).
    std::wstring ServicePack;
    DWORD MemoryLoad = 0;
    uint64_t TotalPhysical = 0;
    uint64_t AvailablePhysical = 0;
    uint64_t TotalVirtual = 0;
    uint64_t AvailableVirtual = 0;
    std::vector<TModuleVersion> Modules;
};

// A byte count in whole kilobytes (rounded down), grouped by thousands:
// 1048576 gives "1,024 KB".
std::wstring FormatKilobytes(uint64_t bytes);

// The text of the version box.
std::wstring VersionInfoText(const TVersionFacts& facts);

// The file version of a module ("" when it has no version resource).
std::wstring ModuleFileVersion(HMODULE module);

// The system's version and memory now, and the versions of the modules.
TVersionFacts GatherVersionFacts(const std::vector<HMODULE>& modules);
