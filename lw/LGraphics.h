// GDI objects as toolkit objects.
#pragma once

// Toolkit
#include "lw/LObjects.h"

// Platform
#include <windows.h>

// A font. A stock font is only wrapped: the system owns it and it is never
// deleted; any other font is deleted with its object.
class TFont : public T0Object {
public:
    static TFont* Stock(int stockObject) { return new TFont(static_cast<HFONT>(GetStockObject(stockObject)), false); }
    explicit TFont(HFONT handle, bool owned = true) : FHandle(handle), FOwned(owned) {}
    HFONT Handle() const { return FHandle; }

protected:
    ~TFont() override
    {
        if (FOwned && FHandle != nullptr)
            DeleteObject(FHandle);
    }

private:
    HFONT FHandle;
    bool FOwned;
};
