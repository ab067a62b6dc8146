// The toolkit's own interfaces: the observer channel, actions and key tables.
#pragma once

// Platform
#include <windows.h>
#include <unknwn.h>

// Standard library
#include <cstdint>

// Told when the subject it observes has changed.
struct IObserver : IUnknown {
    virtual void STDMETHODCALLTYPE Update() = 0;
};
__CRT_UUID_DECL(IObserver, 0xD979EA03, 0xB050, 0x4201, 0xBF, 0x77, 0x02, 0x87, 0xF9, 0x34, 0x07, 0x51)

// A subject that notifies its attached observers.
struct IObservable : IUnknown {
    virtual void STDMETHODCALLTYPE Attach(IObserver* observer) = 0;
    virtual void STDMETHODCALLTYPE Detach(IObserver* observer) = 0;
    virtual bool STDMETHODCALLTYPE HasObservers() = 0;
};
__CRT_UUID_DECL(IObservable, 0x27BF0C3D, 0x232E, 0x470A, 0x82, 0x59, 0xE7, 0xAF, 0x2D, 0xFE, 0xAE, 0xE1)

// ---------------------------------------------------------------------------
// Actions: the named commands that keys and menu items run.
//
// Methods that can fail return an HRESULT and publish the message with
// SetErrorInfo (no exception crosses them); the C++ helpers of LActions turn
// a failure back into an exception. Wide strings are BSTRs the caller frees.

struct IActionItems;

// One entry that can be performed: an action, or an item of an action's list.
struct IActionItem : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetCaption(BSTR* caption) = 0;
    virtual bool STDMETHODCALLTYPE GetChecked() = 0;
    // The list of choices the item offers, or null.
    virtual HRESULT STDMETHODCALLTYPE GetItems(IActionItems** items) = 0;
    // *performed tells whether the item ran.
    virtual HRESULT STDMETHODCALLTYPE Perform(bool* performed) = 0;
};
__CRT_UUID_DECL(IActionItem, 0x460174E6, 0x163E, 0x4FF7, 0x8C, 0x5F, 0xD8, 0xFB, 0x1A, 0x20, 0x67, 0x21)

struct IAction : IActionItem {
    // The name the settings file uses; fixed once set, valid while the
    // action lives.
    virtual const char* STDMETHODCALLTYPE GetName() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetHint(BSTR* hint) = 0;
    virtual bool STDMETHODCALLTYPE GetEnabled() = 0;
};
__CRT_UUID_DECL(IAction, 0x3B54F30A, 0xCE6B, 0x4DA3, 0xA1, 0xC5, 0xEE, 0x81, 0x98, 0x25, 0xB5, 0x66)

// Asked by IActionItems::FindItem for each item in order until it says true.
typedef bool(STDMETHODCALLTYPE* TActionItemTest)(IActionItem* item, void* context);

// The list of choices of an action (a window list, say); filled on demand.
struct IActionItems : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetTitle(BSTR* title) = 0;
    // The first item for which test says true, or null.
    virtual HRESULT STDMETHODCALLTYPE FindItem(TActionItemTest test, void* context, IActionItem** item) = 0;
    // The list is filled again before it next answers.
    virtual void STDMETHODCALLTYPE Invalidate() = 0;
};
__CRT_UUID_DECL(IActionItems, 0x3311478D, 0xB8EF, 0x489C, 0x8B, 0xF4, 0x63, 0x65, 0xCE, 0x76, 0x44, 0x9C)

// Owns actions and finds them by name.
struct IActionManager : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddAction(IAction* action) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveAction(IAction* action) = 0;
    // Fails with kActionNotFound when no manager knows the name.
    virtual HRESULT STDMETHODCALLTYPE FindAction(const char* name, IAction** action) = 0;
    // Lets the user choose from items; *item is null when nothing was chosen.
    virtual HRESULT STDMETHODCALLTYPE ChooseItem(IActionItems* items, IActionItem** item) = 0;
};
__CRT_UUID_DECL(IActionManager, 0x7FCB0FED, 0xCA3C, 0x41FA, 0x98, 0xDF, 0xAE, 0x34, 0x96, 0xA2, 0x05, 0x72)

// The failure FindAction reports for an unknown name.
inline constexpr HRESULT kActionNotFound = static_cast<HRESULT>(0x8002802BL); // TYPE_E_ELEMENTNOTFOUND

// The owner's value of an item of an action's list.
struct IActionItemData : IUnknown {
    virtual intptr_t STDMETHODCALLTYPE GetData() = 0;
};
__CRT_UUID_DECL(IActionItemData, 0x7E7D36AE, 0xB2DE, 0x4ED9, 0xA7, 0x77, 0x8F, 0xAC, 0xE5, 0xC9, 0xB5, 0x5A)

// ---------------------------------------------------------------------------
// Key tables. Modifiers: Alt 1, Control 2, Shift 4; keys are virtual-key
// codes 0 to 255 (mouse buttons by their codes).

// One table of bindings, as a hook of another table sees it.
struct IKeyAssignment : IUnknown {
    // The table's own entry (null when unbound).
    virtual HRESULT STDMETHODCALLTYPE GetAction(int32_t modifiers, int32_t key, IAction** action) = 0;
};
__CRT_UUID_DECL(IKeyAssignment, 0x7591EAD9, 0x456C, 0x44ED, 0x9D, 0xEC, 0x8E, 0x30, 0x32, 0x9A, 0x60, 0x0C)

// The key table of a window: answered by the window and by its thread.
struct IKeyTable : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddHook(IKeyAssignment* hook) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveHook(IKeyAssignment* hook) = 0;
    // The hooks first, in order, then the table itself; null when unbound.
    virtual HRESULT STDMETHODCALLTYPE Lookup(int32_t modifiers, int32_t key, IAction** action) = 0;
};
__CRT_UUID_DECL(IKeyTable, 0x3C792850, 0x4195, 0x4C19, 0xBB, 0x13, 0xDE, 0x16, 0xBF, 0x6B, 0x0E, 0xB3)
