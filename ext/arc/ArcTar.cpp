// The tar module: tar archives and single compressed files through
// "tar32.dll".
#include "ext/arc/UnifyArc.h"

namespace {

class ETarError : public EArchiverError {
public:
    using EArchiverError::EArchiverError;
};

[[noreturn]] void RaiseTarError(const std::wstring& message)
{
    throw ETarError(message);
}

class TArcTar final : public TArchiverModule {
public:
    TArcTar() : TArchiverModule(L"tar32.dll", "Tar", RaiseTarError) {}

    std::wstring Caption() const override { return L"tar32.dll"; }
    std::vector<std::wstring> Extensions() const override { return {L".tar", L".tgz", L".gz", L".z", L".bz2"}; }
    TListingStyle Listing() const override { return TListingStyle::Tar; }
    TTimeStyle Times() const override { return TTimeStyle::ThreeUnix; }
    uint8_t ArchiveType(const std::wstring& archive) override
    {
        int type = Call<TArcTypeProc>("GetArchiveType")(ToAnsi(AnsiSafePath(archive)).c_str());
        return type >= 1 && type <= 7 ? static_cast<uint8_t>(type) : 0;
    }
    std::wstring StatusText(uint8_t type) const override
    {
        static const wchar_t* const texts[] = {L"in Others", L"in Tar", L"in Tar.GZ", L"in Tar.Z",
                                               L"in GZ",     L"in Z",   L"in Tar.BZ2", L"in BZ2"};
        return texts[type < std::size(texts) ? type : 0];
    }
    std::wstring ExtractItemCommand(const std::wstring& archive, const std::wstring& destination,
                                    const std::wstring& itemPath) const override
    {
        return L"-x --use-directory=0 --display-dialog=0 " + QuotedPath(archive) + L" " + QuotedFolder(destination) +
               L" " + Quoted(itemPath);
    }
    std::wstring ReadItemCommand(const std::wstring& archive, const std::wstring& folder,
                                 const std::wstring& itemPath) const override
    {
        return L"-x --use-directory=0 " + QuotedPath(archive) + L" " + QuotedFolder(folder) + L" " + Quoted(itemPath);
    }
    std::wstring ExtractCommand(const std::wstring& archive, const std::wstring& destination) const override
    {
        return L"-x " + QuotedPath(archive) + L" " + QuotedFolder(destination);
    }
    std::wstring PackCommand(const std::wstring& archive, const std::wstring& baseFolder,
                             const std::vector<std::wstring>& names,
                             std::unique_ptr<TResponseFile>& response) const override
    {
        std::wstring switches = L"-c ";
        if (!archive.empty() && (archive.back() == L'z' || archive.back() == L'Z'))
            switches += L"-z ";
        else if (EndsWithIgnoringCase(archive, L".bz2"))
            switches += L"-B ";
        return switches + QuotedPath(archive) + L" " + QuotedFolder(baseFolder) +
               PackNames(baseFolder, names, true, TResponsePath::Short, response);
    }
};

TArcTar Module;

struct TRegistration {
    TRegistration() { RegisterArchiverModule(&Module); }
} Registration;

} // namespace
