// Window, help and version actions. (Being written: placeholders until then.)
#include "actions/UActionsInternal.h"

namespace actionsinternal {

namespace {
class TPlaceholderAction : public T0Action {
public:
    explicit TPlaceholderAction(const char* name, bool global) : T0Action(global) { Describe(name, L"", L""); }
    void Idle() override { SetEnabled(false); }
};
} // namespace

void BrowsePage(TFilerView*) {}
void HelpContents(TFilerView*) {}
void HelpOnHelp(TFilerView*) {}
void HelpTopicSearch(TFilerView*) {}
T0Action* NewWindowMenuAction() { return new TPlaceholderAction("WindowMenu", true); }
T0Action* NewVersionInfoAction() { return new TPlaceholderAction("VersionInfo", true); }
T0Action* NewHelpMenuAction() { return new TPlaceholderAction("HelpMenu", true); }

} // namespace actionsinternal
