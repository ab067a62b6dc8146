// The browsing window: the file list view, the filer window that holds its
// views side by side, and the destination folder dialog.
#pragma once

// Folders
#include "folders/UFolders.h"

// Search
#include "search/WildCard.h"

// Toolkit
#include "lw/LAddCtls.h"
#include "lw/LCmmCtls.h"
#include "lw/LComPtr.h"
#include "lw/LHandles.h"
#include "lw/LInterfaces.h"
#include "lw/LMenus.h"
#include "lw/LWindows.h"

// Platform
#include <windows.h>
#include <ole2.h>
#include <oleidl.h>

// Standard library
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TFilerWindow;
class TFilerView;
struct TDroppedFiles;

// The window class by which a second start finds the running instance.
inline constexpr const wchar_t* kFilerWindowClass = L"QZ_Nimbra_Window_2";

// Messages of the filer window.
inline constexpr UINT WM_VIEW_CHANGED = WM_APP + 1;
// wParam: a view's window handle. Brings the window to the front and makes
// that view current (a handle that is no view of the window is ignored).
inline constexpr UINT WM_FOCUS_VIEW = WM_APP + 2;
// Asks a filer window (on its own thread) to show the folders queued for it
// with QueueNavigation.
inline constexpr UINT WM_NIMBRA_NAVIGATE = WM_APP + 0x200;
// Asks a filer window for a piece of its state as text (see StateText); sent
// by AskWindowState with the number of its request in wParam.
inline constexpr UINT WM_NIMBRA_STATE = WM_APP + 0x202;

// Messages of the file list view.
inline constexpr UINT WM_VIEW_SKIN = WM_APP + 11;
// lParam: a TPath allocated with new, freed by the view.
inline constexpr UINT WM_OPEN_ANOTHER_VIEW = WM_APP + 12;
inline constexpr UINT WM_CLOSE_VIEW = WM_APP + 13;
inline constexpr UINT WM_VIEW_REDRAW = 0xBD00;
// The header's counters changed.
inline constexpr UINT WM_VIEW_HEADER = WM_APP + 14;

// What actions use of a view.
struct IFilerView : IUnknown {
    virtual void STDMETHODCALLTYPE GetFolder(IFolder** result) = 0;
    virtual void STDMETHODCALLTYPE ChangeFolder(IFolder* folder) = 0;
    virtual TFileItem* STDMETHODCALLTYPE GetViewItem(int32_t index) = 0;
    virtual int32_t STDMETHODCALLTYPE GetViewCount() = 0;
    virtual bool STDMETHODCALLTYPE IsMarked(int32_t index) = 0;
    virtual int32_t STDMETHODCALLTYPE GetMarkedCount() = 0;
    virtual void STDMETHODCALLTYPE SetCaretByName(BSTR name) = 0;
    // Fails (with the error text "許されない操作です") when the list has no caret.
    virtual HRESULT STDMETHODCALLTYPE GetCaretItem(TFileItem** result) = 0;
    virtual void STDMETHODCALLTYPE FocusView() = 0;
    virtual void STDMETHODCALLTYPE CloseView() = 0;
};
__CRT_UUID_DECL(IFilerView, 0x19D7D2FC, 0x18A8, 0x431C, 0xA6, 0x22, 0xF9, 0x1B, 0x8B, 0x94, 0x32, 0xF0)

// Modules that want to know of every view made and destroyed.
struct IViewListener : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE ViewCreated(IFilerView* view) = 0;
    virtual HRESULT STDMETHODCALLTYPE ViewDestroyed(IFilerView* view) = 0;
};
__CRT_UUID_DECL(IViewListener, 0x9ADAD06D, 0xC149, 0x43D8, 0xB1, 0x82, 0xB5, 0xA0, 0xAC, 0x1A, 0x47, 0x3C)


// GDI owners of the view.
struct GdiObjectTraits {
    using Type = HGDIOBJ;
    static HGDIOBJ Invalid() noexcept { return nullptr; }
    static void Close(HGDIOBJ object) noexcept { DeleteObject(object); }
};
using UniqueGdiObject = UniqueResource<GdiObjectTraits>;

// The eleven colours of a view, in the skin's order.
enum TViewColour : int {
    kColourBackground,
    kColourFileName,
    kColourSystemFile,
    kColourHidden,
    kColourReadOnly,
    kColourDirectory,
    kColourVirtual,
    kColourSelected,
    kColourLine,
    kColourInfoText,
    kColourSelectedInfoText,
    kViewColourCount
};

// One folder as a list of two-line entries: the view observes its folder,
// keeps its own filtered and sorted order of the folder's records, keeps
// marks and the caret across refreshes, and hands keys and clicks to the
// window's key table.
class TFilerView : public TInterfaced<TLightListBox, IFilerView, IObserver, IDropTarget, IDropSource> {
public:
    // Links the view into window's list after `after` (at the end when
    // null) and creates its window showing folder.
    TFilerView(TFilerWindow* window, TFilerView* after, IFolder* folder);

    TFilerWindow* Window() const { return FWindow; }
    TFilerView* PrevView() const { return FPrevView; }
    TFilerView* NextView() const { return FNextView; }
    IFolder* Folder() const { return FFolder.get(); }
    int SortKind() const { return FSortKind; }
    int HeaderHeight() const { return FHeaderHeight; }
    int CharWidth() const { return FCharWidth; }
    int CharHeight() const { return FCharHeight; }
    // 48 columns, 4 pixels and a vertical scroll bar.
    int ViewWidth() const;
    // Entries in display order.
    // The entries in display order: read on the view's own thread under its
    // hold, or on any thread under the exclusive hold.
    // Moves whenever the entries or their marks change.
    uint32_t ChangeSerial() const { return FChangeSerial; }
    const std::vector<TFileItem*>& Items() const
    {
        CheckItemAccess();
        return FItems;
    }
    TFileItem* CaretItem() const;

    // The marked entries in display order; the caret entry alone when none
    // is marked; empty when the list is.
    std::vector<TFileItem*> GetSelection() const;
    bool IsFileSystemSelection() const;
    // Raises EWildCardError and keeps the old filter when text is no filter.
    void SetFilter(std::wstring_view text);
    std::wstring GetFilterText() const;
    bool HasFilter() const { return FFilter != nullptr; }
    void SetSortKind(int kind);
    void Reload(bool resetState);
    void BeginUpdate() { ++FUpdateCount; }
    void EndUpdate();
    // Repaints the header (counters, path, focus colour).
    void InvalidateHeader();
    // Puts the caret on the first entry named name (ignoring case).
    void SetCaretByNameText(std::wstring_view name);
    // The entry whose display name begins with the longest prefix of text
    // (ignoring case), the earlier one in list order on a tie; -1 when text
    // is empty or no name begins with its first character.
    int FindByPrefix(std::wstring_view text) const;
    // Puts the caret on FindByPrefix(text); the caret stays where it is when
    // nothing matches. Whether an entry matched.
    bool SearchByName(std::wstring_view text);
    // The folder's display path.
    std::wstring DisplayPath() const;

    // IFilerView
    void STDMETHODCALLTYPE GetFolder(IFolder** result) override;
    void STDMETHODCALLTYPE ChangeFolder(IFolder* folder) override;
    TFileItem* STDMETHODCALLTYPE GetViewItem(int32_t index) override;
    int32_t STDMETHODCALLTYPE GetViewCount() override { return Count(); }
    bool STDMETHODCALLTYPE IsMarked(int32_t index) override { return TLightListBox::IsMarked(index); }
    int32_t STDMETHODCALLTYPE GetMarkedCount() override { return MarkedCount(); }
    void STDMETHODCALLTYPE SetCaretByName(BSTR name) override;
    HRESULT STDMETHODCALLTYPE GetCaretItem(TFileItem** result) override;
    void STDMETHODCALLTYPE FocusView() override;
    void STDMETHODCALLTYPE CloseView() override;

    // IObserver: the folder was refreshed (on the refreshing thread, which
    // holds the application lock exclusively).
    void STDMETHODCALLTYPE Update() override { Reload(false); }

    // IDropTarget: files dropped on a directory are copied, moved or linked
    // there (Ctrl copies, Ctrl+Shift links, otherwise they move).
    HRESULT STDMETHODCALLTYPE DragEnter(IDataObject* data, DWORD keyState, POINTL point, DWORD* effect) override;
    HRESULT STDMETHODCALLTYPE DragOver(DWORD keyState, POINTL point, DWORD* effect) override;
    HRESULT STDMETHODCALLTYPE DragLeave() override;
    HRESULT STDMETHODCALLTYPE Drop(IDataObject* data, DWORD keyState, POINTL point, DWORD* effect) override;
    // IDropSource
    HRESULT STDMETHODCALLTYPE QueryContinueDrag(BOOL escapePressed, DWORD keyState) override;
    HRESULT STDMETHODCALLTYPE GiveFeedback(DWORD effect) override;
    // Hands files of one directory to a new copy (DROPEFFECT_COPY), move
    // (DROPEFFECT_MOVE) or link (DROPEFFECT_LINK) job into the view's
    // directory, as a drop does. Files from several directories are refused
    // with a message. False when no job was started.
    bool TransferFiles(const TDroppedFiles& files, DWORD effect);

    bool KeyDown(int shift, UINT key) override;
    void DrawItem(int index, HDC dc, const RECT& rect) override;
    void MarkChanged(int index, bool state) override;
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override;

protected:
    ~TFilerView() override;
    void PaintBackground(HDC dc, const RECT& clip) override;

private:
    friend class TFilerWindow;
    // Checks the caller's hold on the lock for the view's entries.
    void CheckItemAccess() const { CheckLockHeldFor(FOwnerThread, L"the entries of a file list"); }
    void SetUpView(IFolder* folder);
    void TearDown();
    // Undoes a construction that failed half-way.
    void Abandon() noexcept;
    void ApplySkin();
    void LoadBitmaps();
    void ClimbToReadyFolder();
    void PaintHeader();
    // Looks a key or button up in the window's key table and runs it;
    // false when nothing is bound.
    bool RunBinding(int shift, UINT key);
    void OpenAnotherView(TPath* location);
    void StartDrag();
    DWORD DropEffect(DWORD keyState, DWORD allowed) const;
    // Hands the dropped files to a new job; false when nothing was started.
    bool PerformDrop(IDataObject* data, DWORD effect);
    void DrawNameLine(HDC dc, const TFileItem& item, bool marked, int x0, int top, int right);
    void DrawInfoLine(HDC dc, const TFileItem& item, bool marked, int x0, int top);

    TFilerWindow* FWindow;
    TFilerView* FPrevView = nullptr;
    TFilerView* FNextView = nullptr;
    UniqueGdiObject FBackgroundBitmap;
    UniqueGdiObject FHeaderBitmap;
    UniqueGdiObject FKindBitmaps[3];
    bool FBitmapsLoaded = false;
    HBITMAP FKindBitmap = nullptr;
    COLORREF FColours[kViewColourCount] = {};
    int FCharWidth = 8;
    int FCharHeight = 16;
    POINT FPressPoint{};
    bool FPressed = false;
    UniqueGdiObject FNameFont;
    UniqueGdiObject FLinePen;
    ComPtr<IFolder> FFolder;
    std::unique_ptr<TWildCardExpression> FFilter;
    int FHeaderHeight = 0;
    int FUpdateCount = 0;
    int FSortKind = 3;
    bool FDragFromHere = false;
    bool FCanDrop = false;
    bool FRightDrop = false;
    bool FSetUp = false;
    bool FHeaderRequested = false;
    std::vector<TFileItem*> FItems;
    // Counts every change of the entries or their marks: what is shown of
    // them is recomputed when it moves.
    uint32_t FChangeSerial = 0;
    // The thread of the view's window, whose messages may read the entries
    // under their shared hold.
    DWORD FOwnerThread = GetCurrentThreadId();
};

// Requests for a piece of a window's state, asked from another thread.
// The message carries only the number of a request in a table of the
// process: a window never writes through a value another process (or an
// asker that gave up) put into a message. The asker waits at most timeout
// milliseconds and holds no part of the application lock meanwhile; an
// answer that comes later lands in the request, which lives until both
// sides let go of it. False when the window did not answer in time or
// does not know the item.
bool AskWindowState(HWND window, std::wstring_view item, std::wstring& answer, DWORD timeout);
// The answering side, on the window's thread for WM_NIMBRA_STATE: looks up
// the request numbered by wParam and answers it with answerer. Unknown
// numbers (a request already abandoned, a stray message) are ignored;
// the result is what the window procedure returns.
using TStateAnswerer = bool (*)(void* context, std::wstring_view item, std::wstring& answer);
LRESULT AnswerWindowState(WPARAM request, TStateAnswerer answerer, void* context);

// The top-level window: its views side by side, a menu bar, a key table and
// a status bar with the selection size or free space and one mark per view.
class TFilerWindow : public TInterfaced<T0MainWindow, IKeyTable> {
public:
    explicit TFilerWindow(TPath start);
    std::wstring WindowClassName() const override { return kFilerWindowClass; }

    // Creates the window, its menu, key table, status bar and first view.
    void CreateFilerWindow();

    TFilerView* FirstView() const { return FFirstView; }
    TFilerView* LastView() const { return FLastView; }
    int ViewCount() const { return FViewCount; }
    TFilerView* CurrentView() const { return FCurrentView; }
    TKeyAssignment* KeyAssignment() const { return FKeyAssignment; }
    TMainMenu* MainMenu() const { return FMainMenu; }
    HFONT Font() const { return static_cast<HFONT>(FFont.get()); }
    IFilerView* EnumViews(bool (*callback)(IFilerView* view, void* data), void* data);

    // Opens one more view on location after the current one, focused, and
    // widens the window when the screen has room.
    TFilerView* OpenView(const TPath& location);
    // Closes a view unless it is the last.
    void CloseView(TFilerView* view);
    // The view got the focus.
    void ViewFocused(TFilerView* view);
    // Shows location in the current view; on the window's own thread.
    void Navigate(const TPath& location);
    // Asks the window, from any thread, to show a folder. The request is
    // kept by the window, so nothing is lost or leaked when the window goes
    // before it gets to it. False when the window is gone already.
    // A request still queued when the window closes opens a window of its
    // own.
    bool QueueNavigation(const TPath& location);
    void PostViewChanged();
    // Re-places the views (after a size change or a view added or closed).
    void LayoutViews();
    // The text of one state item: "Folder", "Caret", "Marked", "Counts",
    // "Views", "Filter", "Sort", "Caption", "Names", "Status"; false for an
    // unknown item.
    bool StateText(std::wstring_view item, std::wstring& answer);
    // The texts of the two status panes.
    std::wstring InfoPaneText() const;
    std::wstring ViewPaneText() const;

    std::wstring ComputeStatusText() override;
    void Idle() override;
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override;

    // IKeyTable, forwarded to the window's key assignment.
    HRESULT STDMETHODCALLTYPE AddHook(IKeyAssignment* hook) override;
    HRESULT STDMETHODCALLTYPE RemoveHook(IKeyAssignment* hook) override;
    HRESULT STDMETHODCALLTYPE Lookup(int32_t modifiers, int32_t key, IAction** action) override;

protected:
    ~TFilerWindow() override;

private:
    friend class TFilerView;
    void LinkView(TFilerView* view, TFilerView* after);
    void UnlinkView(TFilerView* view);
    void ViewChanged();
    // Makes view the current view and repaints both headers.
    void MakeCurrent(TFilerView* view);
    void FocusViewRequested(HWND target);
    void Activated(bool active, bool minimized);
    void ForceForeground();
    void MinMaxInfo(MINMAXINFO& info);
    void NavigateQueued();
    void HandOnQueued();
    int StatusBarHeight() const;
    int CurrentViewIndex() const;
    void SizePanes();

    // What the info pane was last computed for.
    struct TInfoPaneKey {
        TFilerView* View = nullptr;
        IFolder* Folder = nullptr;
        int32_t Marked = -1;
        int32_t Count = -1;
        uint32_t Serial = 0;
        bool operator==(const TInfoPaneKey&) const = default;
    };

    TPath FStart;
    TInfoPaneKey FInfoPaneKey;
    TFilerView* FFirstView = nullptr;
    TFilerView* FLastView = nullptr;
    int FViewCount = 0;
    TFilerView* FCurrentView = nullptr;
    TStatusBar* FStatusBar = nullptr;
    TKeyAssignment* FKeyAssignment = nullptr;
    TMainMenu* FMainMenu = nullptr;
    UniqueGdiObject FFont;
    bool FWasActivated = false;
    // The window is being destroyed: closing views hand the focus to nobody.
    bool FClosing = false;
    std::mutex FQueueLock;
    std::vector<TPath> FQueued;
    // Set when the window closes: no request is queued after that.
    bool FQueueClosed = false;
};

// The current view of the calling GUI thread's main window (null when it has
// none); asserts (UView) on a thread that is not a GUI thread.
TFilerView* CurrentView();
// The current view of the foreground window when that is a filer window.
TFilerView* ForegroundView();
// The first filer window of this process (in z-order) for which test is
// true, or null.
HWND FindFilerWindow(bool (*test)(HWND window, void* data), void* data);

// Asks for a destination folder among the folders the views of all windows
// show, or any other through the folder browser; true with the chosen one in
// path. Optionally opens it in another view of the current window.
bool ChooseFolder(const std::wstring& caption, TPath& path);
