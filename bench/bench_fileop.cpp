// Copying with the file operation engine, against a bare CopyFileW loop over
// the same files, measured in the same run:
//   ratio copy-small = engine copy of a folder of 10,000 files of 1-16 KiB
//                      / CreateDirectoryW + FindFirstFileW + CopyFileW loop
//   ratio copy-large = engine copy of one large file / one CopyFileW
// The engine runs as a job does (Scan, then Execute) with a window that
// answers nothing. The test files are made by `make bench` from the shell.
// Each figure is the median of interleaved rounds; the copies are removed
// between rounds, untimed. The large copy is made once by each side before
// its rounds, untimed.

// Own
#include "fileop/UFileOp.h"

// Toolkit
#include "lw/LHandles.h"

// Platform
#include <windows.h>

// Standard library
#include <cstdio>
#include <string>
#include <vector>

#include "bench/BenchShared.h"

namespace {

constexpr int kSmallRounds = 4;
constexpr int kLargeRounds = 4;

// A job window that is never asked anything: the destination is empty.
class TSilentUI : public TFileOperationUI {
public:
    void ShowCurrentItem(std::wstring_view) override {}
    bool AskCollision(std::wstring_view, TCollisionMode&) override { return false; }
    bool AskNewName(std::wstring_view, std::wstring&) override { return false; }
    bool AskContinueAfterFailure(std::wstring_view text, std::wstring_view) override
    {
        ++Failures;
        return true;
    }
    void ShowWarning(std::wstring_view, std::wstring_view) override {}
    void Step(bool) override { ++Steps; }
    bool CloseRequested() override { return false; }
    HWND Owner() override { return nullptr; }
    int Steps = 0;
    int Failures = 0;
};

std::vector<std::wstring> FileNames(const std::wstring& dir)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((dir + L"\\*").c_str(), &data));
    if (!find)
        return names;
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            names.push_back(data.cFileName);
    } while (FindNextFileW(find.get(), &data));
    return names;
}

void RemoveFolder(const std::wstring& dir)
{
    for (const std::wstring& name : FileNames(dir))
        DeleteFileW((dir + L"\\" + name).c_str());
    RemoveDirectoryW(dir.c_str());
}

// The baseline for a folder: make it, list the source, copy each file.
bool BareFolderCopy(const std::wstring& from, const std::wstring& to)
{
    if (!CreateDirectoryW(to.c_str(), nullptr))
        return false;
    bool ok = true;
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((from + L"\\*").c_str(), &data));
    if (!find)
        return false;
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            ok = CopyFileW((from + L"\\" + data.cFileName).c_str(), (to + L"\\" + data.cFileName).c_str(), TRUE) &&
                 ok;
    } while (FindNextFileW(find.get(), &data));
    return ok;
}

int EngineCopy(const std::wstring& sourceDir, const std::wstring& name, const std::wstring& destinationDir)
{
    TSilentUI ui;
    TFileOperationEngine engine(TFileOperationKind::Copy, TPath::FromPath(sourceDir), TPath::FromPath(destinationDir),
                                {name}, ui);
    engine.Scan();
    engine.Execute();
    return ui.Failures;
}

bool Ready(const std::wstring& path)
{
    return GetFileAttributesW((path + L".complete").c_str()) != INVALID_FILE_ATTRIBUTES;
}

uint64_t FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The two take turns at going first, an even number of rounds.
void MeasureSmall(const std::wstring& temp, const std::wstring& out)
{
    const std::wstring small = L"nimbra-bench-copy-small";
    size_t fileCount = FileNames(temp + L"\\" + small).size();
    std::vector<double> bare, engine;
    int failures = 0;
    for (int round = 0; round < kSmallRounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            bool bareTurn = (round + turn) % 2 == 0;
            std::wstring copy = out + L"\\" + small;
            double start = Now();
            if (bareTurn) {
                if (!BareFolderCopy(temp + L"\\" + small, copy))
                    ++failures;
                bare.push_back(Now() - start);
            } else {
                failures += EngineCopy(temp, small, out);
                engine.push_back(Now() - start);
            }
            if (FileNames(copy).size() != fileCount)
                ++failures;
            RemoveFolder(copy);
        }
    }
    std::printf("ratio copy-small %.3f\n", Median(engine) / Median(bare));
    std::fprintf(stderr, "  %u files: bare %.0f ms (%.0f us a file), engine %.0f ms (%.0f us a file)%s\n",
                 static_cast<unsigned>(fileCount), Median(bare) * 1000, Median(bare) * 1e6 / double(fileCount),
                 Median(engine) * 1000, Median(engine) * 1e6 / double(fileCount),
                 failures != 0 ? ", SOME COPIES FAILED" : "");
}

void MeasureLarge(const std::wstring& temp, const std::wstring& out)
{
    const std::wstring large = L"nimbra-bench-copy-large";
    std::wstring largeFile = temp + L"\\" + large;
    uint64_t size = FileSize(largeFile);
    std::vector<double> bare, engine;
    int failures = 0;
    // One untimed copy each first: what a process pays once (its first
    // writes of a gigabyte, the libraries a copy loads) is not copying.
    {
        std::wstring copy = out + L"\\" + large;
        CopyFileW(largeFile.c_str(), copy.c_str(), TRUE);
        DeleteFileW(copy.c_str());
        failures += EngineCopy(temp, large, out);
        DeleteFileW(copy.c_str());
    }
    for (int round = 0; round < kLargeRounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            bool bareTurn = (round + turn) % 2 == 0;
            std::wstring copy = out + L"\\" + large;
            double start = Now();
            if (bareTurn) {
                if (!CopyFileW(largeFile.c_str(), copy.c_str(), TRUE))
                    ++failures;
                bare.push_back(Now() - start);
            } else {
                failures += EngineCopy(temp, large, out);
                engine.push_back(Now() - start);
            }
            if (FileSize(copy) != size)
                ++failures;
            DeleteFileW(copy.c_str());
        }
    }
    std::printf("ratio copy-large %.3f\n", Median(engine) / Median(bare));
    std::fprintf(stderr, "  one file of %.0f MiB: bare %.0f ms, engine %.0f ms%s\n", double(size) / 1048576.0,
                 Median(bare) * 1000, Median(engine) * 1000, failures != 0 ? ", SOME COPIES FAILED" : "");
    for (size_t i = 0; i < bare.size(); ++i)
        std::fprintf(stderr, "    round %u: bare %.0f ms, engine %.0f ms\n", static_cast<unsigned>(i), bare[i] * 1000,
                     engine[i] * 1000);
}

} // namespace

// With "small" or "large" as argument, only that one is measured.
int wmain(int argc, wchar_t** argv)
{
    std::wstring only = argc > 1 ? argv[1] : L"";
    CoInitialize(nullptr);
    wchar_t tempBuffer[MAX_PATH];
    GetTempPathW(MAX_PATH, tempBuffer);
    std::wstring temp(tempBuffer);
    if (temp.back() == L'\\')
        temp.pop_back();
    if (!Ready(temp + L"\\nimbra-bench-copy-small") || !Ready(temp + L"\\nimbra-bench-copy-large")) {
        std::fprintf(stderr, "the copy test files are missing (make bench makes them)\n");
        return 1;
    }
    std::wstring out = temp + L"\\nimbra-bench-copy-out";
    CreateDirectoryW(out.c_str(), nullptr);
    if (only.empty() || only == L"small")
        MeasureSmall(temp, out);
    if (only.empty() || only == L"large")
        MeasureLarge(temp, out);
    RemoveDirectoryW(out.c_str());
    CoUninitialize();
    return 0;
}
