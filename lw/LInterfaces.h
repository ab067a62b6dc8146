// The toolkit's own interfaces: the observer channel.
#pragma once

// Platform
#include <windows.h>
#include <unknwn.h>

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
