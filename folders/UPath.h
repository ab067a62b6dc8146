// Folder locations: the TPath record and the functions on it.
#pragma once

// Platform
#include <windows.h>
#include <oleauto.h>
#include <shlobj.h>

// Standard library
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// A folder location. Its layout (16 bytes on 32-bit Windows, 32 on 64-bit) is shared with the archiver
// modules. The record owns its ID list and both strings; a copy is deep (the
// ID list is cloned), so each copy owns its own.
struct TPath {
    // Absolute ID list of a shell namespace location; null for file-system,
    // archive and provider locations.
    LPITEMIDLIST IDList = nullptr;
    // Directory path; the archive file for an archive location; the parsing
    // name for a namespace location.
    BSTR Path = nullptr;
    // Path inside an archive, "/"-separated, without a leading "/".
    BSTR SubPath = nullptr;
    // Non-zero marks a location served by a folder provider.
    int32_t ProviderTag = 0;

    TPath() = default;
    TPath(const TPath& other);
    TPath(TPath&& other) noexcept;
    TPath& operator=(const TPath& other);
    TPath& operator=(TPath&& other) noexcept;
    ~TPath() { Clear(); }

    // A file-system location.
    static TPath FromPath(std::wstring_view path, std::wstring_view subPath = {});
    // Takes over an ID list allocated with the shell allocator.
    static TPath FromIDList(LPITEMIDLIST idList, std::wstring_view parsingName = {});

    std::wstring_view PathView() const noexcept { return {Path ? Path : L"", ::SysStringLen(Path)}; }
    std::wstring_view SubPathView() const noexcept { return {SubPath ? SubPath : L"", ::SysStringLen(SubPath)}; }
    void SetPath(std::wstring_view path);
    void SetSubPath(std::wstring_view subPath);

    // Frees the ID list and both strings; the provider tag becomes 0.
    void Clear() noexcept;
    // Frees the ID list alone.
    void FreeIDList() noexcept;
};
#if defined(_WIN64)
// 64-bit layout (32 bytes): IDList 0, Path 8, SubPath 16, ProviderTag 24,
// then 4 bytes of padding.
static_assert(sizeof(TPath) == 32, "TPath is shared with the modules");
static_assert(offsetof(TPath, IDList) == 0 && offsetof(TPath, Path) == 8 && offsetof(TPath, SubPath) == 16 &&
              offsetof(TPath, ProviderTag) == 24);
#else
// 32-bit layout (16 bytes): IDList 0, Path 4, SubPath 8, ProviderTag 12.
static_assert(sizeof(TPath) == 16, "TPath is shared with the modules");
static_assert(offsetof(TPath, IDList) == 0 && offsetof(TPath, Path) == 4 && offsetof(TPath, SubPath) == 8 &&
              offsetof(TPath, ProviderTag) == 12);
#endif

// Equality of locations: same provider tag; both with or both without an ID
// list; ID lists byte-identical; paths and sub-paths equal ignoring case.
bool SamePath(const TPath& a, const TPath& b);
inline bool operator==(const TPath& a, const TPath& b) { return SamePath(a, b); }

// The location for a text: "" is the desktop; "D:\a.zip/docs" an archive
// location; a device name ("\\.\COM1", "NUL") stays as written, untouched;
// an accessible path a directory (expanded, long form); anything else is
// parsed by the shell, and failing that is the current directory.
TPath ParsePath(std::wstring_view text);
// The text of a location; ParsePath gives the location back.
std::wstring PathToString(const TPath& path);
