// A stand-in for the external editor: writes the path it was given and what
// the file holds to the file named by NIMBRA_EDITOR_SEEN, then stays open
// until the file named by NIMBRA_EDITOR_GO exists (20 seconds at most);
// with NIMBRA_EDITOR_LOG set it also appends the path to that file.
// Started with "--args" first, it writes each further argument as it
// received it, in UTF-8, one to a line, to its standard output instead.

// Platform
#include <windows.h>

// Standard library
#include <string>

namespace {

std::wstring Variable(const wchar_t* name)
{
    wchar_t value[MAX_PATH * 2] = {};
    DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH * 2);
    return length > 0 && length < MAX_PATH * 2 ? std::wstring(value, length) : std::wstring();
}

std::string ReadAll(const wchar_t* path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<unreadable>";
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    CloseHandle(file);
    return bytes;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 2 && std::wstring(argv[1]) == L"--args") {
        std::string lines;
        for (int i = 2; i < argc; ++i) {
            int length = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
            std::string line(static_cast<size_t>(length > 0 ? length - 1 : 0), '\0');
            WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, line.data(), length, nullptr, nullptr);
            lines += line + "\n";
        }
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
        return 0;
    }
    if (argc != 2)
        return 2;
    std::string report;
    int length = WideCharToMultiByte(CP_UTF8, 0, argv[1], -1, nullptr, 0, nullptr, nullptr);
    std::string path(static_cast<size_t>(length > 0 ? length - 1 : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, argv[1], -1, path.data(), length, nullptr, nullptr);
    report = path + "\n" + ReadAll(argv[1]);

    // Every start leaves a line in the log, when one is asked for: a test
    // can count how often it was started.
    std::wstring log = Variable(L"NIMBRA_EDITOR_LOG");
    if (!log.empty()) {
        HANDLE file = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            std::string line = path + "\n";
            DWORD appended = 0;
            WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &appended, nullptr);
            CloseHandle(file);
        }
    }

    std::wstring seen = Variable(L"NIMBRA_EDITOR_SEEN");
    std::wstring partial = seen + L".part";
    HANDLE out = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return 3;
    DWORD written = 0;
    WriteFile(out, report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
    CloseHandle(out);
    // Whole or not at all.
    MoveFileExW(partial.c_str(), seen.c_str(), MOVEFILE_REPLACE_EXISTING);

    std::wstring go = Variable(L"NIMBRA_EDITOR_GO");
    for (int waited = 0; waited < 20000; waited += 20) {
        if (GetFileAttributesW(go.c_str()) != INVALID_FILE_ATTRIBUTES)
            return 0;
        Sleep(20);
    }
    return 1;
}
