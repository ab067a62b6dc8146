#include "folders/ShlUtils.h"

// Own
#include "folders/SysUtilsW.h"

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LStrings.h"

// Standard library
#include <cstring>
#include <utility>

namespace {

using UniqueGlobal = UniqueResource<NullIsInvalid<HGLOBAL, ::GlobalFree>>;
using UniqueTaskString = UniqueResource<NullIsInvalid<LPWSTR, ::CoTaskMemFree>>;

constexpr const wchar_t* kNoDirectory = L"フォルダが指定されていません";

USHORT IDSize(LPCITEMIDLIST id) noexcept { return id->mkid.cb; }

// A name handed to the shell as one zero-terminated text: an embedded zero
// would make the shell see another (or, in a double-zero list, a further) name.
void CheckName(std::wstring_view name)
{
    if (name.empty() || name.find(L'\0') != std::wstring_view::npos)
        throw EOSError(ERROR_INVALID_NAME, name);
}

UniqueIDList ParseName(IShellFolder* folder, HWND owner, std::wstring_view name)
{
    CheckName(name);
    // ParseDisplayName wants a writable text.
    std::wstring text(name);
    ULONG eaten = 0;
    UniqueIDList list;
    HRESULT hr = folder->ParseDisplayName(owner, nullptr, text.data(), &eaten, list.put(), nullptr);
    if (FAILED(hr) || !list)
        throw EOSError(static_cast<DWORD>(FAILED(hr) ? hr : E_FAIL), name);
    return list;
}

// The shell folder of a directory and the relative ID lists of names in it.
struct ShellChildren {
    ComPtr<IShellFolder> Folder;
    std::vector<UniqueIDList> Lists;
    std::vector<LPCITEMIDLIST> Pointers;
};

ShellChildren ParseChildren(HWND owner, std::wstring_view directory, const std::vector<std::wstring>& names)
{
    ShellChildren result;
    ComPtr<IShellFolder> desktop = DesktopFolder();
    UniqueIDList directoryList = ParseName(desktop.get(), owner, directory);
    if (IsEmptyIDList(directoryList.get())) {
        result.Folder = desktop;
    } else {
        HRESULT hr = desktop->BindToObject(directoryList.get(), nullptr, IID_IShellFolder,
                                           reinterpret_cast<void**>(result.Folder.put()));
        if (FAILED(hr) || !result.Folder)
            throw EOSError(static_cast<DWORD>(FAILED(hr) ? hr : E_FAIL), directory);
    }
    result.Lists.reserve(names.size());
    for (const std::wstring& name : names) {
        result.Lists.push_back(ParseName(result.Folder.get(), owner, name));
        result.Pointers.push_back(result.Lists.back().get());
    }
    return result;
}

template <class Interface>
ComPtr<Interface> UIObjectOf(HWND owner, std::wstring_view directory, const std::vector<std::wstring>& names)
{
    ShellChildren children = ParseChildren(owner, directory, names);
    ComPtr<Interface> object;
    HRESULT hr = children.Folder->GetUIObjectOf(owner, static_cast<UINT>(children.Pointers.size()),
                                                children.Pointers.data(), __uuidof(Interface), nullptr,
                                                reinterpret_cast<void**>(object.put()));
    if (FAILED(hr) || !object)
        throw EOSError(static_cast<DWORD>(FAILED(hr) ? hr : E_FAIL), directory);
    return object;
}

HGLOBAL DuplicateGlobal(HGLOBAL source) noexcept
{
    SIZE_T size = ::GlobalSize(source);
    const void* bytes = ::GlobalLock(source);
    if (bytes == nullptr)
        return nullptr;
    UniqueGlobal copy(::GlobalAlloc(GMEM_MOVEABLE, size));
    void* target = copy ? ::GlobalLock(copy.get()) : nullptr;
    if (target != nullptr) {
        std::memcpy(target, bytes, size);
        ::GlobalUnlock(copy.get());
    }
    ::GlobalUnlock(source);
    return target != nullptr ? copy.release() : nullptr;
}

// Not every shell's data object takes formats through SetData (Wine's
// answers E_NOTIMPL). Such an object is wrapped: formats set on the wrapper in
// global memory are kept here, everything else is the shell object's.
class TDataObjectWithFormats final : public TInterfaced<TInterfacedObject, IDataObject> {
public:
    explicit TDataObjectWithFormats(ComPtr<IDataObject> inner) : FInner(std::move(inner)) {}
    ~TDataObjectWithFormats() override
    {
        for (Entry& entry : FEntries)
            ::ReleaseStgMedium(&entry.Medium);
    }

    HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override
    {
        if (format == nullptr || medium == nullptr)
            return E_INVALIDARG;
        if (const Entry* entry = Find(*format)) {
            HGLOBAL copy = DuplicateGlobal(entry->Medium.hGlobal);
            if (copy == nullptr)
                return E_OUTOFMEMORY;
            *medium = STGMEDIUM{};
            medium->tymed = TYMED_HGLOBAL;
            medium->hGlobal = copy;
            return S_OK;
        }
        return FInner->GetData(format, medium);
    }
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC* format, STGMEDIUM* medium) override
    {
        if (format != nullptr && Find(*format) != nullptr)
            return DV_E_TYMED;
        return FInner->GetDataHere(format, medium);
    }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* format) override
    {
        if (format != nullptr && Find(*format) != nullptr)
            return S_OK;
        return FInner->QueryGetData(format);
    }
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC* in, FORMATETC* out) override
    {
        if (in != nullptr && out != nullptr && Find(*in) != nullptr) {
            *out = *in;
            out->ptd = nullptr;
            return DATA_S_SAMEFORMATETC;
        }
        return FInner->GetCanonicalFormatEtc(in, out);
    }
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) override
    {
        if (format == nullptr || medium == nullptr)
            return E_INVALIDARG;
        if (format->tymed != TYMED_HGLOBAL || medium->tymed != TYMED_HGLOBAL)
            return FInner->SetData(format, medium, release);
        try {
            Entry entry{*format, *medium};
            entry.Format.ptd = nullptr;
            if (!release) {
                entry.Medium.pUnkForRelease = nullptr;
                entry.Medium.hGlobal = DuplicateGlobal(medium->hGlobal);
                if (entry.Medium.hGlobal == nullptr)
                    return E_OUTOFMEMORY;
            }
            for (Entry& old : FEntries)
                if (old.Format.cfFormat == format->cfFormat) {
                    ::ReleaseStgMedium(&old.Medium);
                    old = entry;
                    return S_OK;
                }
            FEntries.push_back(entry);
            return S_OK;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD direction, IEnumFORMATETC** enumerator) override
    {
        if (direction != DATADIR_GET)
            return FInner->EnumFormatEtc(direction, enumerator);
        if (enumerator == nullptr)
            return E_INVALIDARG;
        try {
            std::vector<FORMATETC> formats;
            for (const Entry& entry : FEntries)
                formats.push_back(entry.Format);
            ComPtr<IEnumFORMATETC> inner;
            if (SUCCEEDED(FInner->EnumFormatEtc(DATADIR_GET, inner.put())) && inner) {
                FORMATETC format;
                while (inner->Next(1, &format, nullptr) == S_OK) {
                    // Device targets are not passed on: the list owns no memory.
                    ::CoTaskMemFree(std::exchange(format.ptd, nullptr));
                    if (FindFormat(format.cfFormat) == nullptr)
                        formats.push_back(format);
                }
            }
            return ::SHCreateStdEnumFmtEtc(static_cast<UINT>(formats.size()), formats.data(), enumerator);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC* format, DWORD flags, IAdviseSink* sink, DWORD* connection) override
    {
        return FInner->DAdvise(format, flags, sink, connection);
    }
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD connection) override { return FInner->DUnadvise(connection); }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA** enumerator) override
    {
        return FInner->EnumDAdvise(enumerator);
    }

private:
    struct Entry {
        FORMATETC Format;
        STGMEDIUM Medium;
    };

    const Entry* FindFormat(CLIPFORMAT format) const noexcept
    {
        for (const Entry& entry : FEntries)
            if (entry.Format.cfFormat == format)
                return &entry;
        return nullptr;
    }
    const Entry* Find(const FORMATETC& format) const noexcept
    {
        return (format.tymed & TYMED_HGLOBAL) ? FindFormat(format.cfFormat) : nullptr;
    }

    ComPtr<IDataObject> FInner;
    std::vector<Entry> FEntries;
};

// Hands a copy of the bytes to the data object in global memory, which the
// object owns once it accepted it.
HRESULT SetGlobalData(IDataObject* data, CLIPFORMAT format, const void* bytes, size_t size)
{
    UniqueGlobal memory(::GlobalAlloc(GMEM_MOVEABLE, size));
    if (!memory)
        RaiseLastOSError();
    void* target = ::GlobalLock(memory.get());
    if (target == nullptr)
        RaiseLastOSError();
    std::memcpy(target, bytes, size);
    ::GlobalUnlock(memory.get());

    FORMATETC formatEtc{format, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium{};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = memory.get();
    HRESULT hr = data->SetData(&formatEtc, &medium, TRUE);
    if (SUCCEEDED(hr))
        memory.release();
    return hr;
}

// Sets a format on the data object; one that refuses is wrapped first.
void AddGlobalData(ComPtr<IDataObject>& data, bool& wrapped, CLIPFORMAT format, const void* bytes, size_t size)
{
    HRESULT hr = SetGlobalData(data.get(), format, bytes, size);
    if (FAILED(hr) && !wrapped) {
        data = ComPtr<IDataObject>(new TDataObjectWithFormats(data));
        wrapped = true;
        hr = SetGlobalData(data.get(), format, bytes, size);
    }
    CheckHResult(hr);
}

std::wstring StrRetText(STRRET& name, LPCITEMIDLIST id)
{
    switch (name.uType) {
    case STRRET_WSTR: {
        UniqueTaskString text(name.pOleStr);
        name.pOleStr = nullptr;
        return text ? std::wstring(text.get()) : std::wstring();
    }
    case STRRET_OFFSET: {
        // Narrow text stored inside the ID list itself: it must end there too.
        UINT size = IDListSize(id);
        if (name.uOffset >= size)
            return {};
        const char* text = reinterpret_cast<const char*>(id) + name.uOffset;
        return AnsiToUnicode(std::string_view(text, strnlen(text, size - name.uOffset)));
    }
    case STRRET_CSTR:
        return AnsiToUnicode(std::string_view(name.cStr, strnlen(name.cStr, sizeof(name.cStr))));
    default:
        return {};
    }
}

} // namespace

LPITEMIDLIST NextID(LPCITEMIDLIST id) noexcept
{
    if (id == nullptr || IDSize(id) == 0)
        return nullptr;
    return reinterpret_cast<LPITEMIDLIST>(const_cast<BYTE*>(reinterpret_cast<const BYTE*>(id) + IDSize(id)));
}

LPITEMIDLIST LastID(LPCITEMIDLIST list) noexcept
{
    if (list == nullptr)
        return nullptr;
    LPCITEMIDLIST last = list;
    for (LPCITEMIDLIST id = list; IDSize(id) != 0; id = NextID(id))
        last = id;
    return const_cast<LPITEMIDLIST>(last);
}

UINT IDListSize(LPCITEMIDLIST list) noexcept
{
    if (list == nullptr)
        return 0;
    UINT size = sizeof(USHORT);
    for (LPCITEMIDLIST id = list; IDSize(id) != 0; id = NextID(id))
        size += IDSize(id);
    return size;
}

bool IsEmptyIDList(LPCITEMIDLIST list) noexcept { return list != nullptr && IDSize(list) == 0; }

bool SameIDList(LPCITEMIDLIST a, LPCITEMIDLIST b) noexcept
{
    if (a == nullptr || b == nullptr)
        return a == b;
    UINT size = IDListSize(a);
    return size == IDListSize(b) && std::memcmp(a, b, size) == 0;
}

bool IDListBeginsWith(LPCITEMIDLIST list, LPCITEMIDLIST prefix) noexcept
{
    if (list == nullptr || prefix == nullptr)
        return false;
    UINT prefixBytes = IDListSize(prefix) - UINT(sizeof(USHORT));
    // Equal size fields at every ID of the prefix keep the comparison on ID
    // boundaries, so a byte prefix is an ID prefix.
    return prefixBytes <= IDListSize(list) - sizeof(USHORT) && std::memcmp(list, prefix, prefixBytes) == 0;
}

UniqueIDList AllocIDList(UINT size)
{
    void* memory = ::CoTaskMemAlloc(size);
    if (memory == nullptr)
        throw EOSError(ERROR_NOT_ENOUGH_MEMORY);
    std::memset(memory, 0, size);
    return UniqueIDList(static_cast<LPITEMIDLIST>(memory));
}

UniqueIDList CloneIDList(LPCITEMIDLIST list)
{
    if (list == nullptr)
        return {};
    UINT size = IDListSize(list);
    UniqueIDList copy = AllocIDList(size);
    std::memcpy(copy.get(), list, size);
    return copy;
}

UniqueIDList CombineIDLists(LPCITEMIDLIST first, LPCITEMIDLIST second)
{
    if (first == nullptr)
        return CloneIDList(second);
    if (second == nullptr)
        return CloneIDList(first);
    UINT firstBytes = IDListSize(first) - UINT(sizeof(USHORT));
    UINT secondSize = IDListSize(second);
    UniqueIDList result = AllocIDList(firstBytes + secondSize);
    BYTE* target = reinterpret_cast<BYTE*>(result.get());
    std::memcpy(target, first, firstBytes);
    std::memcpy(target + firstBytes, second, secondSize);
    return result;
}

bool RemoveLastID(LPITEMIDLIST list) noexcept
{
    if (list == nullptr || IDSize(list) == 0)
        return false;
    LastID(list)->mkid.cb = 0;
    return true;
}

std::wstring DisplayNameOf(IShellFolder* folder, LPCITEMIDLIST id, DWORD flags)
{
    if (folder == nullptr)
        return {};
    STRRET name{};
    if (FAILED(folder->GetDisplayNameOf(id, flags, &name)))
        return {};
    return StrRetText(name, id);
}

ComPtr<IShellFolder> DesktopFolder()
{
    ComPtr<IShellFolder> desktop;
    HRESULT hr = ::SHGetDesktopFolder(desktop.put());
    CheckHResult(hr);
    if (!desktop)
        throw EOSError(static_cast<DWORD>(E_FAIL), L"SHGetDesktopFolder");
    return desktop;
}

std::wstring SpecialFolderPath(int csidl)
{
    UniqueIDList list;
    if (FAILED(::SHGetSpecialFolderLocation(nullptr, csidl, list.put())) || !list)
        return {};
    wchar_t path[MAX_PATH] = {};
    // Without a file-system path a backslash alone would name the current
    // drive's root.
    if (!::SHGetPathFromIDListW(list.get(), path) || path[0] == L'\0')
        return {};
    return IncludeTrailingBackslash(path);
}

DWORD DropEffectFromKeys(DWORD keyState) noexcept
{
    if ((keyState & (MK_CONTROL | MK_SHIFT)) == (MK_CONTROL | MK_SHIFT))
        return DROPEFFECT_LINK;
    if (keyState & MK_CONTROL)
        return DROPEFFECT_COPY;
    return DROPEFFECT_MOVE;
}

ComPtr<IContextMenu> FileContextMenu(HWND owner, std::wstring_view directory, const std::vector<std::wstring>& names)
{
    if (names.empty())
        return {};
    return UIObjectOf<IContextMenu>(owner, directory, names);
}

ComPtr<IContextMenu> FileContextMenu(HWND owner, std::wstring_view fileName)
{
    return FileContextMenu(owner, ExtractFileDir(fileName), {ExtractFileName(fileName)});
}

ComPtr<IDataObject> FileDataObject(HWND owner, std::wstring_view directory, const std::vector<std::wstring>& names,
                                   DWORD effect)
{
    if (names.empty())
        return {};
    ComPtr<IDataObject> data = UIObjectOf<IDataObject>(owner, directory, names);
    bool wrapped = false;
    if (effect != 0) {
        CLIPFORMAT format = static_cast<CLIPFORMAT>(::RegisterClipboardFormatW(CFSTR_PREFERREDDROPEFFECT));
        AddGlobalData(data, wrapped, format, &effect, sizeof(effect));
    }
    std::wstring text;
    std::wstring prefix = IncludeTrailingBackslash(directory);
    for (const std::wstring& name : names) {
        if (!text.empty())
            text += L'\t';
        text += prefix + name;
    }
    AddGlobalData(data, wrapped, CF_UNICODETEXT, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    return data;
}

bool ReadDroppedFiles(IDataObject* data, TDroppedFiles& files)
{
    files = {};
    if (data == nullptr)
        return false;
    FORMATETC format{CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium{};
    if (data->GetData(&format, &medium) != S_OK)
        return false;
    if (medium.tymed == TYMED_HGLOBAL && medium.hGlobal != nullptr) {
        // The file list functions take the global handle itself.
        auto drop = static_cast<HDROP>(medium.hGlobal);
        UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
        bool first = true;
        for (UINT i = 0; i < count; ++i) {
            UINT length = DragQueryFileW(drop, i, nullptr, 0);
            std::wstring path(length + 1, L'\0');
            path.resize(DragQueryFileW(drop, i, path.data(), length + 1));
            wchar_t longPath[MAX_PATH * 4];
            DWORD longLength = GetLongPathNameW(path.c_str(), longPath, MAX_PATH * 4);
            if (longLength > 0 && longLength < MAX_PATH * 4)
                path.assign(longPath, longLength);
            std::wstring name = ExtractFileName(path);
            // A drive root or a path ending in a separator names no entry
            // of a folder: handed on, it would stand for the whole folder.
            if (name.empty())
                continue;
            std::wstring directory = ExtractFileDir(path);
            if (first)
                files.Directory = directory;
            else if (SameText(directory, files.Directory) != 0)
                files.Scattered = true;
            first = false;
            files.Names.push_back(std::move(name));
        }
    }
    ReleaseStgMedium(&medium);
    return !files.Names.empty();
}

void SetDropEffectFormat(IDataObject* data, const wchar_t* formatName, DWORD effect)
{
    if (data == nullptr)
        return;
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, sizeof(DWORD));
    if (memory == nullptr)
        return;
    if (auto* value = static_cast<DWORD*>(GlobalLock(memory))) {
        *value = effect;
        GlobalUnlock(memory);
    }
    FORMATETC format{static_cast<CLIPFORMAT>(::RegisterClipboardFormatW(formatName)), nullptr, DVASPECT_CONTENT, -1,
                     TYMED_HGLOBAL};
    STGMEDIUM medium{};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = memory;
    // With release set the data object owns the memory once it took it.
    if (data->SetData(&format, &medium, TRUE) != S_OK)
        GlobalFree(memory);
}

std::optional<DWORD> DropEffectFormat(IDataObject* data, const wchar_t* formatName)
{
    if (data == nullptr)
        return std::nullopt;
    FORMATETC format{static_cast<CLIPFORMAT>(::RegisterClipboardFormatW(formatName)), nullptr, DVASPECT_CONTENT, -1,
                     TYMED_HGLOBAL};
    STGMEDIUM medium{};
    if (data->GetData(&format, &medium) != S_OK)
        return std::nullopt;
    std::optional<DWORD> effect;
    if (medium.tymed == TYMED_HGLOBAL && medium.hGlobal != nullptr && GlobalSize(medium.hGlobal) >= sizeof(DWORD))
        if (const auto* value = static_cast<const DWORD*>(GlobalLock(medium.hGlobal))) {
            effect = *value;
            GlobalUnlock(medium.hGlobal);
        }
    ReleaseStgMedium(&medium);
    return effect;
}

bool ShowPropertySheet(std::wstring_view fileName, HWND owner)
{
    if (fileName.empty() || fileName.find(L'\0') != std::wstring_view::npos)
        return false;
    std::wstring file(fileName);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_INVOKEIDLIST;
    info.hwnd = owner;
    info.lpVerb = L"properties";
    info.lpFile = file.c_str();
    info.nShow = SW_SHOW;
    return ::ShellExecuteExW(&info) != FALSE;
}

bool ShowPropertySheet(LPCITEMIDLIST idList, HWND owner)
{
    if (idList == nullptr)
        return false;
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_INVOKEIDLIST;
    info.hwnd = owner;
    info.lpVerb = L"properties";
    info.lpIDList = const_cast<LPITEMIDLIST>(idList);
    info.nShow = SW_SHOW;
    return ::ShellExecuteExW(&info) != FALSE;
}

std::wstring DoubleZeroList(std::wstring_view directory, const std::vector<std::wstring>& names)
{
    // An empty name would stand for the directory itself, and a zero inside a
    // name would smuggle in a further entry: neither may reach a delete. Nor
    // may an empty directory, which would turn every name into "\name" at the
    // root of the current drive.
    if (directory.empty())
        throw Exception(kNoDirectory);
    CheckName(directory);
    std::wstring prefix = IncludeTrailingBackslash(directory);
    std::wstring list;
    for (const std::wstring& name : names) {
        CheckName(name);
        if (name.find(L'\\') == std::wstring::npos)
            list += prefix;
        list += name;
        list += L'\0';
    }
    list += L'\0';
    return list;
}

bool ShellDelete(HWND owner, std::wstring_view directory, const std::vector<std::wstring>& names, FILEOP_FLAGS flags)
{
    if (names.empty())
        return true;
    std::wstring from = DoubleZeroList(directory, names);
    SHFILEOPSTRUCTW operation{};
    operation.hwnd = owner;
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str();
    operation.fFlags = flags;
    return ::SHFileOperationW(&operation) == 0 && !operation.fAnyOperationsAborted;
}

bool ShellFileOperation(HWND owner, UINT func, std::wstring_view source, std::wstring_view target)
{
    if (source.empty() || source.find(L'\0') != std::wstring_view::npos ||
        target.find(L'\0') != std::wstring_view::npos)
        return false;
    std::wstring from(source);
    from.append(2, L'\0');
    std::wstring to(target);
    to.append(2, L'\0');
    SHFILEOPSTRUCTW operation{};
    operation.hwnd = owner;
    operation.wFunc = func;
    operation.pFrom = from.c_str();
    operation.pTo = to.c_str();
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION;
    return ::SHFileOperationW(&operation) == 0 && !operation.fAnyOperationsAborted;
}
