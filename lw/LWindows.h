// Windows, threads, message loops and the application lock.
//
// Every top-level file-manager window lives on a GUI thread of its own; the
// process's main thread owns no such window and runs the application's idle
// step. All threads share one readers-writer lock: a GUI thread holds it
// shared while it handles a message and lets go while it waits.
#pragma once

// Toolkit
#include "lw/LAppLock.h"
#include "lw/LGraphics.h"
#include "lw/LHandles.h"
#include "lw/LObjects.h"

// Shared interfaces
#include "ext/NimbraIntf.h"

// Platform
#include <windows.h>

// Standard library
#include <exception>
#include <string>
#include <vector>

class T0Application;
class T0GUIThread;
class T0LeadWindow;
class T0Thread;
class T0Window;

// The wake message: the main thread's idle step asks each GUI thread to run
// its own idle step.
inline constexpr UINT WM_LW_WAKE = 0xBD01;

// Command identifiers of a GUI thread: 1024 up to (not including) 61440.
inline constexpr UINT kFirstCommandId = 1024;
inline constexpr UINT kCommandIdLimit = 61440;

// Key modifier bits.
inline constexpr int kShiftAlt = 1;
inline constexpr int kShiftCtrl = 2;
inline constexpr int kShiftShift = 4;

// ---------------------------------------------------------------------------
// Temporary objects

// Owns the temporary objects of a thread. A message loop sets a mark when it
// starts; the idle step destroys what was added after the mark.
class TGarbage : public T0Object {
public:
    // Returns the previous mark, to be put back with SetMark.
    T0Object* Mark();
    void SetMark(T0Object* mark) { FMark = mark; }
    // Destroys the children after the mark, the last first.
    void Collect();

private:
    T0Object* FMark = nullptr;
};

// ---------------------------------------------------------------------------
// Threads

// A toolkit thread. Started with StartThread<T>(...), which returns once
// the new thread has run Initialize.
class T0Thread : public TInterfaced<T0Object, IObservable> {
public:
    template <class T, class... Args>
    static T* StartThread(Args&&... args)
    {
        T* thread = new T(std::forward<Args>(args)...);
        try {
            thread->Start();
        } catch (...) {
            // Never listed, never run: nobody else knows the object.
            T0Object::Free(thread);
            throw;
        }
        return thread;
    }

    DWORD ThreadId() const { return FThreadId; }
    HANDLE ThreadHandle() const { return FThreadHandle.get(); }
    int32_t& LockState() { return FLockState; }
    void* Param() const { return FParam; }
    T0LeadWindow* ActiveWindow() const { return FActiveWindow; }
    void SetActiveWindow(T0LeadWindow* window) { FActiveWindow = window; }
    TObservable* Observers() const { return FObservers; }
    TGarbage* Garbage() const { return FGarbage; }
    T0Thread* NextThread() const { return FNextThread; }
    bool Finished() const;

    bool PostThreadMessage(UINT message, WPARAM wParam, LPARAM lParam) const;

    // IObservable, through the thread's observer list.
    void STDMETHODCALLTYPE Attach(IObserver* observer) override { FObservers->Attach(observer); }
    void STDMETHODCALLTYPE Detach(IObserver* observer) override { FObservers->Detach(observer); }
    bool STDMETHODCALLTYPE HasObservers() override { return FObservers->HasObservers(); }

protected:
    explicit T0Thread(void* param = nullptr) : FParam(param) {}
    ~T0Thread() override;

    // Runs on the new thread before its creator continues.
    virtual void Initialize();
    virtual void Prepare() {}
    virtual void Finalize();
    virtual void Execute() {}

    // Makes the calling thread this object's thread without starting a new
    // one (the main thread).
    void AttachToCurrentThread();

private:
    friend class T0Application;
    void Start();
    static DWORD WINAPI ThreadProc(void* param);
    void Run();
    // Clears the calling thread's toolkit state and releases the thread's
    // own interface; runs even when Finalize failed.
    void LeaveCurrentThread() noexcept;

    T0Thread* FPrevThread = nullptr;
    T0Thread* FNextThread = nullptr;
    TObservable* FObservers = nullptr;
    TGarbage* FGarbage = nullptr;
    UniqueHandle FStartEvent;
    DWORD FThreadId = 0;
    UniqueHandle FThreadHandle;
    int32_t FLockState = 0;
    void* FParam;
    T0LeadWindow* FActiveWindow = nullptr;
};

// A thread with windows and a message loop.
class T0GUIThread : public T0Thread {
public:
    T0LeadWindow* MainWindow() const { return FMainWindow; }
    void SetMainWindow(T0LeadWindow* window) { FMainWindow = window; }

    // Command identifiers for menu items and other command objects.
    UINT AllocCommandId(T0Object* object);
    void FreeCommandId(UINT id);
    T0Object* CommandObject(UINT id) const;

    // Waits for the next message. False for a wake message (the caller runs
    // its idle step); queued wake messages collapse into one.
    virtual bool WaitMessage(MSG& message, bool notifyIdle);

    // Runs the thread's idle step: observers, the window's Idle, garbage.
    void IdleStep(T0LeadWindow* window);

    // The stock fonts, made when first asked for and owned by the thread.
    TFont* SystemFont() { return StockFont(FSystemFont, SYSTEM_FONT); }
    TFont* DefaultGUIFont() { return StockFont(FDefaultGUIFont, DEFAULT_GUI_FONT); }
    TFont* SystemFixedFont() { return StockFont(FSystemFixedFont, SYSTEM_FIXED_FONT); }

protected:
    using T0Thread::T0Thread;
    void Execute() override;

    void Finalize() override;

private:
    friend class T0Application;
    TFont* StockFont(TFont*& slot, int stockObject);

    T0LeadWindow* FMainWindow = nullptr;
    std::vector<T0Object*> FCommands;
    TFont* FSystemFont = nullptr;
    TFont* FDefaultGUIFont = nullptr;
    TFont* FSystemFixedFont = nullptr;
};

// The process's main thread: owns no file-manager window; runs the
// application's idle step.
class TMainThread : public T0GUIThread {
public:
    TMainThread();
    bool WaitMessage(MSG& message, bool notifyIdle) override;
    virtual DWORD GetWaitTimeout() { return INFINITE; }
};

// The running thread's toolkit object (null on threads the toolkit did not
// start).
T0Thread* CurrentThread();
// The running thread as a GUI thread; asserts (LWindows) otherwise.
T0GUIThread* CurrentGUIThread();

// ---------------------------------------------------------------------------
// The application

class T0Application : public TInterfaced<T0Object, IApplication, IObservable> {
public:
    T0Application();
    ~T0Application() override;

    // Attaches the calling thread as the main thread.
    void CreateMainThread();
    TMainThread* MainThread() const { return FMainThread; }
    const std::wstring& Title() const { return FTitle; }
    void SetTitle(std::wstring title);
    TAppLock& AppLock() { return FAppLock; }
    HANDLE WakeEvent() const { return FWakeEvent.get(); }
    ATOM WindowAtom() const { return FWindowAtom; }

    // Thread list.
    bool HasThreads();
    template <class F>
    void ForEachThread(F&& f)
    {
        EnterCriticalSection(&FThreadListLock);
        for (T0Thread* t = FFirstThread; t != nullptr; t = t->FNextThread)
            f(t);
        LeaveCriticalSection(&FThreadListLock);
    }
    // Frees every thread of the list that has finished. One still
    // referenced (by a module, say) is reported once and freed in a later
    // call, once its last reference is gone.
    void FreeFinishedThreads();

    // The main thread's idle step; skipped when a GUI thread is busy.
    // Returns whether it ran.
    bool IdleStep();
    // Runs until the thread list is empty.
    void Run();
    // Waits (pumping messages) until every listed thread has ended and is
    // freed, or the time is up; true when none is left.
    bool WaitForThreads(DWORD timeout);

    // The idle workers: notified in every application idle step.
    TObservable* Observers() const { return FObservers; }

    // Housekeeping (dropping what nobody uses any more): its observers are
    // notified in the next idle step after a request, and after a minute
    // without any activity.
    TObservable* Housekeeping() const { return FHousekeeping; }
    void RequestHousekeeping();
    static constexpr DWORD kHousekeepingInterval = 60000;

    // The calling thread's state in the lock: its toolkit thread's, or a
    // state of its own on threads the toolkit did not start.
    int32_t& CallerLockState();

    // IApplication: the lock protocol of the calling thread.
    int32_t STDMETHODCALLTYPE BeginExclusive() override;
    void STDMETHODCALLTYPE EndExclusive(int32_t previous) override;
    int32_t STDMETHODCALLTYPE BeginShared() override;
    void STDMETHODCALLTYPE EndShared(int32_t previous) override;
    int32_t STDMETHODCALLTYPE SuspendShared() override;
    void STDMETHODCALLTYPE ResumeShared(int32_t previous) override;

    // IObservable
    void STDMETHODCALLTYPE Attach(IObserver* observer) override { FObservers->Attach(observer); }
    void STDMETHODCALLTYPE Detach(IObserver* observer) override { FObservers->Detach(observer); }
    bool STDMETHODCALLTYPE HasObservers() override { return FObservers->HasObservers(); }

private:
    friend class T0Thread;
    void AddThread(T0Thread* thread);
    void RemoveThread(T0Thread* thread);

    CRITICAL_SECTION FThreadListLock;
    // Finished threads that were still referenced when they were reaped.
    std::vector<T0Thread*> FLingering;
    TMainThread* FMainThread = nullptr;
    T0Thread* FFirstThread = nullptr;
    T0Thread* FLastThread = nullptr;
    std::wstring FTitle;
    TObservable* FObservers = nullptr;
    TObservable* FHousekeeping = nullptr;
    volatile LONG FHousekeepingRequested = 0;
    UniqueHandle FWakeEvent;
    TAppLock FAppLock;
    ATOM FWindowAtom = 0;
    // The lock state of threads the toolkit did not start.
    static thread_local int32_t FForeignLockState;
};

// The one application object (null before it is made and after it is gone).
T0Application* Application();

// ---------------------------------------------------------------------------
// Windows

enum class TAlign { None = 0, Left = 1, Client = 2, Right = 3, Top = 4, Bottom = 5 };

// Any window handle wrapped as an object; also foreign windows.
class TAnyWindow : public T0Object {
public:
    explicit TAnyWindow(HWND handle = nullptr) : FHandle(handle) {}
    HWND Handle() const { return FHandle; }

protected:
    HWND FHandle;
};

// The arguments of CreateWindowExW.
struct TWindowStruct {
    DWORD ExStyle = 0;
    std::wstring WindowName;
    DWORD Style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
    int X = CW_USEDEFAULT;
    int Y = CW_USEDEFAULT;
    int Width = CW_USEDEFAULT;
    int Height = CW_USEDEFAULT;
    HWND Parent = nullptr;
    HMENU Menu = nullptr;
    void* Param = nullptr;
};

// An object registered under a command identifier that a menu command runs.
class TCommandObject {
public:
    virtual void ExecuteCommand() = 0;

protected:
    ~TCommandObject() = default;
};

// A notification header: WM_NOTIFY's own, or one built for WM_COMMAND from a
// control (code 0x7FFF0000 + the notification code).
inline constexpr UINT kCommandNotifyBase = 0x7FFF0000u;

// A window created and owned by the toolkit.
class T0Window : public TAnyWindow {
public:
    // Creates the window handle; failure is an assertion of LWindows.
    void CreateHandle(const TWindowStruct& create);
    // Makes an existing window of this thread (a system control) a toolkit
    // window: its messages come to this object, and what the object leaves
    // unhandled goes to the window's own procedure.
    void AttachHandle(HWND handle);

    TAlign Align() const { return FAlign; }
    void SetAlign(TAlign align) { FAlign = align; }

    // The class name the window is registered under.
    virtual std::wstring WindowClassName() const { return ClassName(); }

    virtual void Idle();
    virtual void Realign();
    virtual bool KeyDown(int shift, UINT key) { return false; }
    virtual void HandleNotify(TAnyWindow* sender, NMHDR& header, LRESULT& result) {}
    virtual void Paint(HDC dc) {}

    // Dispatches a message to its handler; unhandled ones get DefaultHandler.
    virtual LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT DefaultHandler(UINT message, WPARAM wParam, LPARAM lParam);

protected:
    ~T0Window() override;

    // May change the class before it is registered.
    virtual void FillWindowClass(WNDCLASSEXW& windowClass) {}

    // Message handlers.
    virtual LRESULT WMCommand(WPARAM wParam, LPARAM lParam);
    virtual LRESULT WMNotify(WPARAM wParam, LPARAM lParam);
    virtual LRESULT WMPaint(WPARAM wParam, LPARAM lParam);
    virtual LRESULT WMSize(WPARAM wParam, LPARAM lParam);
    virtual LRESULT WMKeyDown(WPARAM wParam, LPARAM lParam);
    // Alt with a key, and F10: the bindings first, then the menu bar.
    LRESULT WMSysKeyDown(WPARAM wParam, LPARAM lParam);
    virtual void WMNCDestroy();

    // Dialog navigation for a key the focused window does not want.
    virtual bool NavigateKey(UINT key, int shift);

private:
    friend LRESULT CALLBACK InitialWindowProc(HWND, UINT, WPARAM, LPARAM);
    friend LRESULT CALLBACK PermanentWindowProc(HWND, UINT, WPARAM, LPARAM);
    void RegisterWindowClass(const std::wstring& className);

    enum class TKeyResult { Unhandled, Handled, Gone };
    // KeyDown once per repeat of the message; Gone when a call destroyed
    // the window.
    TKeyResult RunKeyDown(WPARAM wParam, LPARAM lParam);

    TAlign FAlign = TAlign::None;
    bool FSwallowSysChar = false;
    bool FSwallowAltUp = false;
    // The procedure of an attached window; null for windows of our classes.
    WNDPROC FBaseProc = nullptr;
};

// The toolkit object of a window of the calling thread, or null.
T0Window* WindowOf(HWND handle);
// The toolkit object of a window of the calling process, or null.
T0Window* ProcessWindowOf(HWND handle);
// The toolkit object, or a TAnyWindow wrapper owned by the thread's garbage;
// null when the handle is not a window.
TAnyWindow* AnyWindowOf(HWND handle);

// A top-level window.
class T0TopWindow : public T0Window {
public:
    HWND OwnerWindow() const { return FOwnerWindow; }
    void SetOwnerWindow(HWND owner) { FOwnerWindow = owner; }
    const std::wstring& StatusText() const { return FStatusText; }
    void SetStatusObserver(IObserver* observer) { FStatusObserver.reset(observer); }
    UINT MenuCommand() const { return FMenuCommand; }
    UINT LoopFlags() const { return FLoopFlags; }

    virtual bool CanClose() { return true; }
    // "Ready" outside a menu loop, empty inside one.
    virtual std::wstring ComputeStatusText();

    void Idle() override;
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override;

protected:
    static constexpr UINT kMenuLoop = 1;
    static constexpr UINT kSizeMoveLoop = 2;

    bool NavigateKey(UINT key, int shift) override;

    HWND FOwnerWindow = nullptr;
    std::wstring FStatusText;
    ComPtr<IObserver> FStatusObserver;
    UINT FMenuCommand = 0;
    UINT FLoopFlags = 0;
};

// A top-level window that runs a message loop of its own (also modal).
class T0LeadWindow : public T0TopWindow {
public:
    bool Terminated() const { return FTerminated; }
    void SetTerminated(bool terminated) { FTerminated = terminated; }

    virtual void Show() { ShowWindow(Handle(), SW_SHOW); }
    // Runs until Terminated; on the calling GUI thread.
    void MessageLoop();

    void Idle() override;
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    bool FTerminated = false;
};

// A dialog: centred on its owner, with an optional validation callback.
class T0DialogWindow : public T0LeadWindow {
public:
    using TValidate = bool (*)(T0DialogWindow* dialog, void* user);
    void SetValidation(TValidate validate, void* user)
    {
        FValidate = validate;
        FUser = user;
    }
    virtual bool Validate() { return FValidate == nullptr || FValidate(this, FUser); }
    void Centre();

    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    TValidate FValidate = nullptr;
    void* FUser = nullptr;
};

// The main window of a GUI thread.
class T0MainWindow : public T0LeadWindow {
public:
    // An empty caption becomes the application title; shown with the
    // program's start-up show command.
    void Show() override;
};

// ---------------------------------------------------------------------------
// Small services

// Shift 4, Ctrl 2, Alt 1, from the keyboard state.
int ShiftState();
// The upper-cased character after the first "&" not followed by another
// "&", or 0.
wchar_t AccelChar(std::wstring_view caption);
// Closes the input method before disabling it.
void EnableIme(HWND window, bool enable);
// Sizes a window (without a menu bar) so that its client area has the given
// size; its position stays.
void SetClientSize(HWND window, int width, int height);
HBITMAP LoadBitmapFile(const std::wstring& name);
// The window rectangle that centres size on the owner's rectangle (or the
// work area), kept inside the work area's top-left corner.
RECT CentredRect(const RECT& window, const RECT* owner, const RECT& workArea);
