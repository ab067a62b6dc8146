// The LZH module: archives through "Unlha32.dll".
#include "ext/arc/UnifyArc.h"

// Standard library
#include <algorithm>

namespace {

class EUnlhaError : public EArchiverError {
public:
    using EArchiverError::EArchiverError;
};

[[noreturn]] void RaiseUnlhaError(const std::wstring& message)
{
    throw EUnlhaError(message);
}

class TArcLzh final : public TArchiverModule {
public:
    TArcLzh() : TArchiverModule(L"Unlha32.dll", "Unlha", RaiseUnlhaError) {}

    std::wstring Caption() const override { return L"Unlha32.dll"; }
    std::vector<std::wstring> Extensions() const override { return {L".lzh"}; }
    TTimeStyle Times() const override { return TTimeStyle::ThreeFileTimes; }
    std::wstring StatusText(uint8_t) const override { return L"in LZH"; }
    std::wstring ExtractItemCommand(const std::wstring& archive, const std::wstring& destination,
                                    const std::wstring& itemPath) const override
    {
        return L"e -y " + QuotedPath(archive) + L" " + QuotedFolder(destination) + L" " + Quoted(itemPath);
    }
    std::wstring ExtractCommand(const std::wstring& archive, const std::wstring& destination) const override
    {
        return L"x -a1 -x1 -jsp3 " + QuotedPath(archive) + L" " + QuotedFolder(destination);
    }
    std::wstring PackCommand(const std::wstring& archive, const std::wstring& baseFolder,
                             const std::vector<std::wstring>& names,
                             std::unique_ptr<TResponseFile>& response) const override
    {
        return L"u -d1 " + QuotedPath(archive) + L" " + QuotedFolder(baseFolder) +
               PackNames(baseFolder, names, false, TResponsePath::QuotedFull, response);
    }
    // Read into memory by the library itself.
    std::string ReadItem(const std::wstring& archive, const std::wstring& itemPath, const std::wstring&,
                         uint64_t size) override
    {
        std::string bytes(static_cast<size_t>(size), '\0');
        // The archive may have changed since it was listed: the library says
        // how much the entry really holds.
        DWORD written = static_cast<DWORD>(size);
        std::string command = ToAnsi(QuotedPath(archive) + L" " + Quoted(itemPath));
        int result = Call<TArcExtractMemProc>("ExtractMem")(nullptr, command.c_str(),
                                                            reinterpret_cast<LPBYTE>(bytes.data()),
                                                            static_cast<DWORD>(size), nullptr, nullptr, &written);
        if (result != 0)
            RaiseUnlhaError(L"UnlhaExtractMem: " + std::to_wstring(result));
        bytes.resize(std::min<size_t>(written, bytes.size()));
        return bytes;
    }
};

TArcLzh Module;

struct TRegistration {
    TRegistration() { RegisterArchiverModule(&Module); }
} Registration;

} // namespace
