#include "folders/UPath.h"

// Own
#include "folders/ShlUtils.h"
#include "folders/SysUtilsW.h"

// Standard library
#include <new>
#include <utility>

namespace {

// A BSTR copy of text; an empty text is the null BSTR.
BSTR CopyBStr(BSTR text)
{
    UINT length = ::SysStringLen(text);
    if (length == 0)
        return nullptr;
    BSTR copy = ::SysAllocStringLen(text, length);
    if (copy == nullptr)
        throw std::bad_alloc();
    return copy;
}

std::wstring CurrentDirectory()
{
    std::wstring buffer(MAX_PATH, L'\0');
    for (int round = 0; round < 4; ++round) {
        DWORD size = static_cast<DWORD>(buffer.size());
        DWORD length = ::GetCurrentDirectoryW(size, buffer.data());
        if (length == 0)
            return {};
        if (length < size) {
            buffer.resize(length);
            return buffer;
        }
        buffer.assign(length, L'\0');
    }
    return {};
}

} // namespace

TPath::TPath(const TPath& other) : ProviderTag(other.ProviderTag)
{
    // Every part is built first and owned by the record only when all exist.
    UniqueIDList idList = CloneIDList(other.IDList);
    WideString path = WideString::Attach(CopyBStr(other.Path));
    WideString subPath = WideString::Attach(CopyBStr(other.SubPath));
    IDList = idList.release();
    Path = path.release();
    SubPath = subPath.release();
}

TPath::TPath(TPath&& other) noexcept
    : IDList(std::exchange(other.IDList, nullptr)),
      Path(std::exchange(other.Path, nullptr)),
      SubPath(std::exchange(other.SubPath, nullptr)),
      ProviderTag(std::exchange(other.ProviderTag, 0))
{
}

TPath& TPath::operator=(const TPath& other)
{
    if (this != &other)
        *this = TPath(other);
    return *this;
}

TPath& TPath::operator=(TPath&& other) noexcept
{
    if (this != &other) {
        Clear();
        IDList = std::exchange(other.IDList, nullptr);
        Path = std::exchange(other.Path, nullptr);
        SubPath = std::exchange(other.SubPath, nullptr);
        ProviderTag = std::exchange(other.ProviderTag, 0);
    }
    return *this;
}

TPath TPath::FromPath(std::wstring_view path, std::wstring_view subPath)
{
    TPath result;
    result.SetPath(path);
    result.SetSubPath(subPath);
    return result;
}

TPath TPath::FromIDList(LPITEMIDLIST idList, std::wstring_view parsingName)
{
    // Owned at once, so that a failing string copy still frees the list.
    TPath result;
    result.IDList = idList;
    result.SetPath(parsingName);
    return result;
}

void TPath::SetPath(std::wstring_view path) { AssignBStr(&Path, path); }

void TPath::SetSubPath(std::wstring_view subPath) { AssignBStr(&SubPath, subPath); }

void TPath::Clear() noexcept
{
    FreeIDList();
    ::SysFreeString(std::exchange(Path, nullptr));
    ::SysFreeString(std::exchange(SubPath, nullptr));
    ProviderTag = 0;
}

void TPath::FreeIDList() noexcept { ::CoTaskMemFree(std::exchange(IDList, nullptr)); }

bool SamePath(const TPath& a, const TPath& b)
{
    if (a.ProviderTag != b.ProviderTag)
        return false;
    if ((a.IDList == nullptr) != (b.IDList == nullptr))
        return false;
    if (a.IDList != nullptr)
        return SameIDList(a.IDList, b.IDList);
    return SameText(a.PathView(), b.PathView()) == 0 && SameText(a.SubPathView(), b.SubPathView()) == 0;
}

TPath ParsePath(std::wstring_view text)
{
    TPath result;
    size_t slash = text.find(L'/');
    if (slash != std::wstring_view::npos) {
        result.SetSubPath(text.substr(slash + 1));
        text = text.substr(0, slash);
    }

    if (text.empty()) {
        UniqueIDList desktop;
        if (SUCCEEDED(::SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOP, desktop.put())) && desktop) {
            result.IDList = desktop.release();
            return result;
        }
        // Without a shell there is no desktop to show; fall through to the
        // current directory below.
    } else if (IsDevicePath(text)) {
        // Kept as written and never probed, neither here nor by the shell:
        // the folder manager refuses it with its own message.
        result.SetPath(text);
        return result;
    } else if (PathIsAccessible(text)) {
        result.SetPath(GetLongPathName(ExpandFileName(text)));
        return result;
    } else if (text.find(L'\0') == std::wstring_view::npos) {
        std::wstring name(text);
        ULONG eaten = 0;
        UniqueIDList parsed;
        ComPtr<IShellFolder> desktop;
        if (SUCCEEDED(::SHGetDesktopFolder(desktop.put())) && desktop &&
            SUCCEEDED(desktop->ParseDisplayName(nullptr, nullptr, name.data(), &eaten, parsed.put(), nullptr)) &&
            parsed) {
            result.IDList = parsed.release();
            result.SetPath(text);
            return result;
        }
    }
    // The fallback is the current directory itself, not a place inside it.
    result.SetSubPath({});
    result.SetPath(CurrentDirectory());
    return result;
}

std::wstring PathToString(const TPath& path)
{
    if (path.IDList != nullptr) {
        // The desktop's parsing name is its directory, which would come back
        // as that directory; its string form is the empty text.
        if (IsEmptyIDList(path.IDList))
            return {};
        // Should the shell not name it, the parsing name kept in Path is the
        // best answer; an empty text would mean the desktop.
        ComPtr<IShellFolder> desktop;
        std::wstring name;
        if (SUCCEEDED(::SHGetDesktopFolder(desktop.put())) && desktop)
            name = DisplayNameOf(desktop.get(), path.IDList, SHGDN_FORPARSING);
        return name.empty() ? std::wstring(path.PathView()) : name;
    }
    std::wstring result = GetLongPathName(path.PathView());
    if (!path.SubPathView().empty()) {
        result += L'/';
        result += path.SubPathView();
    }
    return result;
}
