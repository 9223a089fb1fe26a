// Message boxes for tests that show them: nothing on standard error, a user
// who reads each box for a second before pressing OK, and a shell that is
// ready at once; the platform's defaults come back at the end of the scope.
#ifndef MUX_TESTS_SUPPORT_QUIET_BOXES_H
#define MUX_TESTS_SUPPORT_QUIET_BOXES_H

#include "platform/ui/ui_host.h"

struct QuietBoxes {
    QuietBoxes()
    {
        plat::ui::SetMessageBoxSink([](const std::string&) {});
        plat::ui::SetDismissDelayMs(1000);
        plat::ui::SetShellReadyAtMs(0);
    }
    ~QuietBoxes()
    {
        plat::ui::SetDismissDelayMs(plat::ui::kDefaultDismissDelayMs);
        plat::ui::SetShellReadyAtMs(0);
        plat::ui::SetMessageBoxSink(nullptr);
    }
    QuietBoxes(const QuietBoxes&) = delete;
    QuietBoxes& operator=(const QuietBoxes&) = delete;
};

#endif
