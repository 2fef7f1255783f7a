#pragma once
// A modal alert: the stand-in for the desktop toolkit's warning dialogs.

#include <functional>
#include <string>
#include <vector>

namespace qor {

/// A modal alert with a style, a message, an informative text and buttons.
///
/// `runModal()` records the alert in a process-wide list that tests read with `shownAlerts()`,
/// then hands it to the presenter in force and gives the presenter's answer. The default
/// presenter has no window to show: it writes "warning: <message> (<informative text>)" to
/// standard error and answers the first button, which is what a command-line user expects.
/// Thread-safe: the list and the presenter are guarded by one mutex (the presenter runs outside it).
class NSAlert {
public:
    /// The answer of the first button.
    static constexpr int kAlertFirstButtonReturn = 1000;

    /// 0 warning, 1 informational, 2 critical.
    int alertStyle = 0;
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttonTitles;

    void addButtonWithTitle(std::string title) { buttonTitles.push_back(std::move(title)); }
    /// Shows the alert and waits for the answer (the number of the chosen button, from 1000).
    int runModal() const;

    using Presenter = std::function<int(const NSAlert&)>;
    /// Replaces the presenter; an empty function restores the default.
    static void setPresenter(Presenter presenter);
    /// Every alert shown so far, oldest first.
    static std::vector<NSAlert> shownAlerts();
    static void clearShownAlerts();
};

}  // namespace qor
