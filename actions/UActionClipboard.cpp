// Clipboard actions. (Being written: placeholders until then.)
#include "actions/UActionsInternal.h"

namespace actionsinternal {

namespace {
class TPlaceholderAction : public T0Action {
public:
    explicit TPlaceholderAction(const char* name, bool global) : T0Action(global) { Describe(name, L"", L""); }
    void Idle() override { SetEnabled(false); }
};
} // namespace

bool CanClipboardCopy(TFilerView*) { return false; }
void ClipboardCopy(TFilerView*) {}
void ClipboardCut(TFilerView*) {}
bool CanClipFileData(TFilerView*) { return false; }
void ClipFileData(TFilerView*) {}
T0Action* NewClipboardPasteAction() { return new TPlaceholderAction("ClipboardPaste", false); }

} // namespace actionsinternal
