// The GCA module: reading archives through "ungca32.dll"; it cannot pack.
#include "ext/arc/UnifyArc.h"

// Standard library
#include <algorithm>

namespace {

class EUnGcaError : public EArchiverError {
public:
    using EArchiverError::EArchiverError;
};

[[noreturn]] void RaiseUnGcaError(const std::wstring& message)
{
    throw EUnGcaError(message);
}

std::wstring Backslashed(std::wstring path)
{
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

class TArcGca final : public TArchiverModule {
public:
    TArcGca() : TArchiverModule(L"ungca32.dll", "UnGCA", RaiseUnGcaError) {}

    std::wstring Caption() const override { return L"Ungca32.dll"; }
    std::vector<std::wstring> Extensions() const override { return {L".gca"}; }
    TTimeStyle Times() const override { return TTimeStyle::WriteTimeEx; }
    std::wstring StatusText(uint8_t) const override { return L"in GCA"; }
    std::wstring ExtractItemCommand(const std::wstring& archive, const std::wstring& destination,
                                    const std::wstring& itemPath) const override
    {
        return L"ex " + QuotedPath(archive) + L" " + QuotedFolder(destination) + L" " + Quoted(Backslashed(itemPath));
    }
    std::wstring ExtractCommand(const std::wstring& archive, const std::wstring& destination) const override
    {
        return L"e " + QuotedPath(archive) + L" " + QuotedFolder(destination);
    }
    std::wstring PackCommand(const std::wstring&, const std::wstring&, const std::vector<std::wstring>&,
                             std::unique_ptr<TResponseFile>&) const override
    {
        RaiseUnGcaError(L"GCA圧縮には対応していません.");
    }
    std::string ReadItem(const std::wstring& archive, const std::wstring& itemPath, const std::wstring&,
                         uint64_t size) override
    {
        std::string bytes(static_cast<size_t>(size), '\0');
        // The archive may have changed since it was listed: the library says
        // how much the entry really holds.
        DWORD written = static_cast<DWORD>(size);
        std::string command = ToAnsi(L"ex " + QuotedPath(archive) + L" .\\ " + Quoted(Backslashed(itemPath)));
        int result = Call<TArcExtractMemProc>("ExtractMem")(nullptr, command.c_str(),
                                                            reinterpret_cast<LPBYTE>(bytes.data()),
                                                            static_cast<DWORD>(size), nullptr, nullptr, &written);
        if (result != 0)
            RaiseUnGcaError(L"UngcaExtractMem: " + std::to_wstring(result));
        bytes.resize(std::min<size_t>(written, bytes.size()));
        return bytes;
    }
};

TArcGca Module;

struct TRegistration {
    TRegistration() { RegisterArchiverModule(&Module); }
} Registration;

} // namespace
