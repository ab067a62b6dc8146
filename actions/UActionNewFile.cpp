// New directories and files. (Being written: placeholders until then.)
#include "actions/UActionsInternal.h"

namespace actionsinternal {

namespace {
class TPlaceholderAction : public T0Action {
public:
    explicit TPlaceholderAction(const char* name, bool global) : T0Action(global) { Describe(name, L"", L""); }
    void Idle() override { SetEnabled(false); }
};
} // namespace

bool CanMakeDirectory(TFilerView*) { return false; }
void MakeDirectory(TFilerView*) {}
T0Action* NewMakeNewFileAction() { return new TPlaceholderAction("MakeNewFile", true); }

} // namespace actionsinternal
