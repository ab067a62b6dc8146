#include "lw/LCmmDlgs.h"

// Toolkit
#include "lw/LExceptions.h"
#include "lw/LWindows.h"

// Standard library
#include <memory>

namespace {

// Releases the calling thread's hold on the application lock, when there
// is an application: the system dialogs run message loops of their own,
// in which other windows must not wait for this one.
class TSystemModal {
public:
    TSystemModal()
    {
        if (Application() != nullptr)
            FSuspend = std::make_unique<TSuspendShared>();
    }

private:
    std::unique_ptr<TSuspendShared> FSuspend;
};

} // namespace

// ---------------------------------------------------------------------------
// TBrowseFolderDialog

TBrowseFolderDialog::TBrowseFolderDialog(HWND owner, std::wstring title, std::wstring startPath)
    : FOwner(owner), FTitle(std::move(title)), FStartPath(std::move(startPath))
{
}

int CALLBACK TBrowseFolderDialog::BrowseCallback(HWND dialog, UINT message, LPARAM, LPARAM data)
{
    auto* self = reinterpret_cast<TBrowseFolderDialog*>(data);
    if (message == BFFM_INITIALIZED) {
        SetWindowTextW(dialog, self->FTitle.c_str());
        if (!self->FStartPath.empty())
            SendMessageW(dialog, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(self->FStartPath.c_str()));
    }
    return 0;
}

bool TBrowseFolderDialog::Execute()
{
    FPath.clear();
    FIDList.reset();
    BROWSEINFOW info{};
    info.hwndOwner = FOwner;
    info.lpszTitle = FTitle.c_str();
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    info.lpfn = BrowseCallback;
    info.lParam = reinterpret_cast<LPARAM>(this);
    {
        TSystemModal modal;
        FIDList.reset(SHBrowseForFolderW(&info));
    }
    if (!FIDList)
        return false;
    wchar_t path[MAX_PATH] = {};
    if (SHGetPathFromIDListW(FIDList.get(), path))
        FPath = path;
    return true;
}

// ---------------------------------------------------------------------------
// TMessageBox

int TMessageBox::Show(HWND owner, std::wstring_view text, std::wstring_view caption, UINT flags)
{
    std::wstring body(text);
    std::wstring title(caption.empty() ? std::wstring_view(ApplicationTitle()) : caption);
    TSystemModal modal;
    return MessageBoxW(owner, body.c_str(), title.c_str(), flags);
}
