// The state a filer window tells scripts: the DDE request items.
#include "view/UView.h"

// Own
#include "view/UViewInternal.h"
#include "view/UViewRules.h"

// Application
#include "app/UMain.h"

// Folders
#include "folders/SysUtilsW.h"

// Toolkit
#include "lw/LExceptions.h"

// Standard library
#include <cwchar>

using namespace viewinternal;

bool TFilerWindow::StateText(std::wstring_view item, std::wstring& answer)
{
    TFilerView* view = FCurrentView;
    wchar_t buffer[64];
    if (item == L"Caption") {
        int length = GetWindowTextLengthW(Handle());
        answer.assign(static_cast<size_t>(length) + 1, L'\0');
        answer.resize(static_cast<size_t>(GetWindowTextW(Handle(), answer.data(), length + 1)));
        return true;
    }
    if (item == L"Status") {
        answer = FStatusBar != nullptr ? FStatusBar->Text(0) + L"\t" + FStatusBar->Text(1) : std::wstring();
        return true;
    }
    if (item == L"LockFaults") {
        answer = std::to_wstring(LockFaultCount());
        return true;
    }
    if (item == L"Views") {
        answer = std::to_wstring(FViewCount) + L" " + std::to_wstring(CurrentViewIndex());
        return true;
    }
    if (view == nullptr)
        return false;
    if (item == L"Folder") {
        TPath location;
        if (view->Folder() != nullptr)
            view->Folder()->GetPath(&location);
        answer = PathToString(location);
        return true;
    }
    if (item == L"Caret") {
        TFileItem* caret = view->CaretItem();
        answer = caret != nullptr ? std::wstring(caret->Name, static_cast<size_t>(caret->NameLen)) : std::wstring();
        return true;
    }
    if (item == L"Marked") {
        answer.clear();
        for (int i = 0; i < view->Count(); ++i)
            if (view->TLightListBox::IsMarked(i)) {
                const TFileItem* entry = view->Items()[static_cast<size_t>(i)];
                answer.append(entry->Name, static_cast<size_t>(entry->NameLen));
                answer += L"\r\n";
            }
        return true;
    }
    if (item == L"Counts") {
        int total = view->Folder() != nullptr ? view->Folder()->GetCount() : 0;
        swprintf(buffer, 64, L"%d/%d/%d", view->MarkedCount(), view->Count(), total);
        answer = buffer;
        return true;
    }
    if (item == L"Names") {
        answer.clear();
        for (const TFileItem* entry : view->Items()) {
            answer.append(entry->Name, static_cast<size_t>(entry->NameLen));
            answer += L"\r\n";
        }
        return true;
    }
    if (item == L"Filter") {
        answer = view->GetFilterText();
        return true;
    }
    if (item == L"Sort") {
        answer = std::to_wstring(view->SortKind());
        return true;
    }
    return false;
}

