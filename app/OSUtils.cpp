#include "app/OSUtils.h"

// Folders
#include "folders/SysUtilsW.h"

// Standard library
#include <cwchar>

std::wstring FormatKilobytes(uint64_t bytes)
{
    std::wstring digits = std::to_wstring(bytes / 1024);
    std::wstring grouped;
    size_t lead = digits.size() % 3;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (i - lead) % 3 == 0)
            grouped += L',';
        grouped += digits[i];
    }
    return grouped + L" KB";
}

std::wstring VersionInfoText(const TVersionFacts& facts)
{
    std::wstring text = L"Nimbra バージョン ";
    text += kProgramVersion;
    text += L"\r\n\r\nWindows ";
    text += std::to_wstring(facts.MajorVersion) + L"." + std::to_wstring(facts.MinorVersion);
    text += L" (ビルド " + std::to_wstring(facts.BuildNumber) + L")";
    if (!facts.ServicePack.empty())
        text += L" " + facts.ServicePack;
    text += L"\r\n\r\nメモリ使用率: " + std::to_wstring(facts.MemoryLoad) + L"%";
    text += L"\r\n物理メモリ: 合計 " + FormatKilobytes(facts.TotalPhysical) + L" / 空き " +
            FormatKilobytes(facts.AvailablePhysical);
    text += L"\r\n仮想メモリ: 合計 " + FormatKilobytes(facts.TotalVirtual) + L" / 空き " +
            FormatKilobytes(facts.AvailableVirtual);
    text += L"\r\n\r\nモジュール:";
    if (facts.Modules.empty())
        text += L"\r\n  (なし)";
    for (const TModuleVersion& module : facts.Modules)
        text += L"\r\n  " + module.Name + L"  " + (module.Version.empty() ? std::wstring(L"-") : module.Version);
    return text;
}

namespace {

// The full path of a loaded module, without a length limit ("" when the
// handle names none).
std::wstring ModuleFileName(HMODULE module)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        if (path.size() >= 32768)
            return {};
        path.resize(path.size() * 2);
    }
}

} // namespace

std::wstring ModuleFileVersion(HMODULE module)
{
    std::wstring path = ModuleFileName(module);
    if (path.empty())
        return {};
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0)
        return {};
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data()))
        return {};
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != VS_FFI_SIGNATURE)
        return {};
    return std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(fixed->dwFileVersionMS)) +
           L"." + std::to_wstring(HIWORD(fixed->dwFileVersionLS)) + L"." +
           std::to_wstring(LOWORD(fixed->dwFileVersionLS));
}

namespace {

// The true version: GetVersionExW answers what the program's manifest
// claims to support, the kernel's own call does not.
void ReadSystemVersion(TVersionFacts& facts)
{
    using TRtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    bool known = false;
    if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
        auto call = reinterpret_cast<TRtlGetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
        known = call != nullptr && call(&info) == 0;
    }
    if (!known) {
        info = {};
        info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        known = GetVersionExW(&info) != FALSE;
#pragma GCC diagnostic pop
    }
    if (!known)
        return;
    facts.MajorVersion = info.dwMajorVersion;
    facts.MinorVersion = info.dwMinorVersion;
    facts.BuildNumber = info.dwBuildNumber;
    info.szCSDVersion[std::size(info.szCSDVersion) - 1] = L'\0';
    facts.ServicePack = info.szCSDVersion;
}

} // namespace

TVersionFacts GatherVersionFacts(const std::vector<HMODULE>& modules)
{
    TVersionFacts facts;
    ReadSystemVersion(facts);
    MEMORYSTATUSEX memory{};
    memory.dwLength = sizeof(memory);
    if (GlobalMemoryStatusEx(&memory)) {
        facts.MemoryLoad = memory.dwMemoryLoad;
        facts.TotalPhysical = memory.ullTotalPhys;
        facts.AvailablePhysical = memory.ullAvailPhys;
        facts.TotalVirtual = memory.ullTotalVirtual;
        facts.AvailableVirtual = memory.ullAvailVirtual;
    }
    for (HMODULE module : modules)
        facts.Modules.push_back({ExtractFileName(ModuleFileName(module)), ModuleFileVersion(module)});
    return facts;
}
