// Drives one of our archiver libraries from a shell script under Wine, the
// way the archive modules call it, so the scripts can compare it with the
// standard archive tools:
//   arctool DLL PREFIX run "COMMAND LINE"   the command entry point; prints
//                                          the output buffer, exits 1 on error
//   arctool DLL PREFIX list ARCHIVE         one line per entry: name, size,
//                                          attributes (hex), write time (Unix)
//   arctool DLL PREFIX type ARCHIVE         the archive type number
//   arctool DLL PREFIX mem "COMMAND" SIZE   extract to memory; the bytes to stdout
// Text arguments arrive as UTF-16 and go to the library in the system code
// page; names are printed in UTF-8.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "archivers/common/ArcDll.h"

namespace {

using TCommandProc = int(WINAPI*)(HWND, LPCSTR, LPSTR, DWORD);
using TOpenProc = HANDLE(WINAPI*)(HWND, LPCSTR, DWORD);
using TCloseProc = int(WINAPI*)(HANDLE);
using TFindFirstProc = int(WINAPI*)(HANDLE, LPCSTR, arcdll::TIndividualInfo*);
using TFindNextProc = int(WINAPI*)(HANDLE, arcdll::TIndividualInfo*);
using TAttributeProc = int(WINAPI*)(HANDLE);
using TTimeExProc = BOOL(WINAPI*)(HANDLE, FILETIME*);
using TTimeProc = DWORD(WINAPI*)(HANDLE);
using TTypeProc = int(WINAPI*)(LPCSTR);
using TExtractMemProc = int(WINAPI*)(HWND, LPCSTR, LPBYTE, DWORD, void*, LPWORD, LPDWORD);

HMODULE Library;
std::string Prefix;

template <typename T>
T Find(const char* name, bool required = true)
{
    FARPROC proc = GetProcAddress(Library, (Prefix + name).c_str());
    if (!proc && required) {
        fprintf(stderr, "arctool: %s%s is not exported\n", Prefix.c_str(), name);
        exit(3);
    }
    return reinterpret_cast<T>(reinterpret_cast<void (*)()>(proc));
}

int Run(const std::string& line)
{
    auto command = Find<TCommandProc>("");
    std::vector<char> output(4096, 0);
    int result = command(nullptr, line.c_str(), output.data(), 4095);
    printf("%s\n", arcdll::WideToUtf8Text(arcdll::AnsiToWide(output.data())).c_str());
    if (result != 0) fprintf(stderr, "arctool: error %d (0x%X)\n", result, result);
    return result == 0 ? 0 : 1;
}

int List(const std::string& archive)
{
    auto open = Find<TOpenProc>("OpenArchive");
    auto close = Find<TCloseProc>("CloseArchive");
    auto first = Find<TFindFirstProc>("FindFirst");
    auto next = Find<TFindNextProc>("FindNext");
    auto attribute = Find<TAttributeProc>("GetAttribute");
    auto timeEx = Find<TTimeExProc>("GetWriteTimeEx", false);
    auto time = Find<TTimeProc>("GetWriteTime", false);
    HANDLE handle = open(nullptr, archive.c_str(), 0);
    if (!handle) {
        fprintf(stderr, "arctool: the archive does not open\n");
        return 1;
    }
    arcdll::TIndividualInfo info;
    for (int found = first(handle, "*", &info); found == 0; found = next(handle, &info)) {
        long long unixTime = 0;
        FILETIME t;
        if (timeEx && timeEx(handle, &t))
            unixTime = arccmd::FileTimeToUnix((static_cast<long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
        else if (time)
            unixTime = time(handle);
        printf("%s\t%lu\t%X\t%lld\n", arcdll::WideToUtf8Text(arcdll::AnsiToWide(info.szFileName)).c_str(),
               static_cast<unsigned long>(info.dwOriginalSize), attribute(handle), unixTime);
    }
    close(handle);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: arctool DLL PREFIX run|list|type|mem ARGUMENT [SIZE]\n");
        return 2;
    }
    Library = LoadLibraryW(argv[1]);
    if (!Library) {
        fprintf(stderr, "arctool: the library does not load (%lu)\n", GetLastError());
        return 3;
    }
    Prefix = arcdll::WideToAnsi(argv[2]);
    std::wstring verb = argv[3];
    std::string argument = arcdll::WideToAnsi(argv[4]);
    if (verb == L"run") return Run(argument);
    if (verb == L"list") return List(argument);
    if (verb == L"type") {
        printf("%d\n", Find<TTypeProc>("GetArchiveType")(argument.c_str()));
        return 0;
    }
    if (verb == L"mem" && argc >= 6) {
        DWORD size = static_cast<DWORD>(_wtoi(argv[5]));
        std::vector<BYTE> buffer(size + 1);
        int result = Find<TExtractMemProc>("ExtractMem")(nullptr, argument.c_str(), buffer.data(),
                                                                            size, nullptr, nullptr, nullptr);
        if (result != 0) {
            fprintf(stderr, "arctool: error %d (0x%X)\n", result, result);
            return 1;
        }
        _setmode(_fileno(stdout), _O_BINARY);
        fwrite(buffer.data(), 1, size, stdout);
        return 0;
    }
    fprintf(stderr, "arctool: unknown verb\n");
    return 2;
}
