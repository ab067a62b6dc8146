// Opening files and the shell. (Being written: placeholders until then.)
#include "actions/UActionsInternal.h"

namespace actionsinternal {

namespace {
class TPlaceholderAction : public T0Action {
public:
    explicit TPlaceholderAction(const char* name, bool global) : T0Action(global) { Describe(name, L"", L""); }
    void Idle() override { SetEnabled(false); }
};
} // namespace

bool CanOpenFileDirectly(TFilerView*) { return false; }
void OpenFileAs(TFilerView*) {}
void OpenFileShort(TFilerView*) {}
bool CanToShellLink(TFilerView*) { return false; }
void ToShellLink(TFilerView*) {}
bool CanShowProperty(TFilerView*) { return false; }
void ShowProperty(TFilerView*) {}
void Console(TFilerView*) {}
void Explorer(TFilerView*) {}
void ExplorerFind(TFilerView*) {}
void ToChosen(TFilerView*) {}
T0Action* NewOpenFileAction() { return new TPlaceholderAction("OpenFile", false); }

} // namespace actionsinternal
