// The ZIP and 7z module: archives through "7-zip32.dll".
#include "ext/arc/UnifyArc.h"

namespace {

class ESevenZipError : public EArchiverError {
public:
    using EArchiverError::EArchiverError;
};

[[noreturn]] void RaiseSevenZipError(const std::wstring& message)
{
    throw ESevenZipError(message);
}

class TArcZip final : public TArchiverModule {
public:
    TArcZip() : TArchiverModule(L"7-zip32.dll", "SevenZip", RaiseSevenZipError) {}

    std::wstring Caption() const override { return L"7-zip32.dll"; }
    std::vector<std::wstring> Extensions() const override { return {L".zip", L".7z"}; }
    TTimeStyle Times() const override { return TTimeStyle::WriteTimeExOrUnix; }
    uint8_t ArchiveType(const std::wstring& archive) override
    {
        int type = Call<TArcTypeProc>("GetArchiveType")(ToAnsi(AnsiSafePath(archive)).c_str());
        return type == 1 || type == 2 ? static_cast<uint8_t>(type) : 0;
    }
    std::wstring StatusText(uint8_t type) const override
    {
        static const wchar_t* const texts[] = {L"in unidentified", L"in ZIP", L"in 7z"};
        return texts[type < std::size(texts) ? type : 0];
    }
    std::wstring ExtractItemCommand(const std::wstring& archive, const std::wstring& destination,
                                    const std::wstring& itemPath) const override
    {
        return L"e -hide -aoa " + QuotedPath(archive) + L" " + QuotedFolder(destination) + L" " + Quoted(itemPath);
    }
    std::wstring ReadItemCommand(const std::wstring& archive, const std::wstring& folder,
                                 const std::wstring& itemPath) const override
    {
        return L"e -aoa " + QuotedPath(archive) + L" " + QuotedFolder(folder) + L" " + Quoted(itemPath);
    }
    std::wstring ExtractCommand(const std::wstring& archive, const std::wstring& destination) const override
    {
        return L"x " + QuotedPath(archive) + L" " + QuotedFolder(destination);
    }
    std::wstring PackCommand(const std::wstring& archive, const std::wstring& baseFolder,
                             const std::vector<std::wstring>& names,
                             std::unique_ptr<TResponseFile>& response) const override
    {
        std::wstring type = EndsWithIgnoringCase(archive, L".7z") ? L"-t7z " : L"-tzip ";
        return L"a -r0 " + type + QuotedPath(archive) + L" " + QuotedFolder(baseFolder) +
               PackNames(baseFolder, names, true, TResponsePath::Short, response);
    }
};

TArcZip Module;

struct TRegistration {
    TRegistration() { RegisterArchiverModule(&Module); }
} Registration;

} // namespace
