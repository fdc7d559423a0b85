// Answering confirmation dialogs until the clients behind them are done. A key sent to a dialog
// that exists but is not yet mapped is lost, so a single press can leave a client waiting for
// ever; this looks for mapped dialogs only and presses again while any is left.
#pragma once

#include "support/xtest.h"

#include <functional>
#include <string>

// Answers "Yes" (a click) or "No" (Escape) on each mapped dialog on the display until done()
// holds or timeout_ms has passed; returns done().
inline bool answeruntil(const std::string& display, bool yes, const std::function<bool()>& done,
                        int timeout_ms = 30000)
{
    for (int waited = 0; waited < timeout_ms; waited += 200) {
        if (done())
            return true;
        const auto r = runcmd({"xdotool", "search", "--onlyvisible", "--name", "alert_popup"},
                              {"DISPLAY=" + display}, 5000);
        std::string ids = r.exitcode() == 0 ? r.out : "";
        while (!ids.empty() && ids.back() == '\n')
            ids.pop_back();
        if (!ids.empty()) {
            const auto nl = ids.rfind('\n');
            const std::string id = nl == std::string::npos ? ids : ids.substr(nl + 1);
            answeronce(display, id, yes);
        }
        sleepms(200);
    }
    return done();
}
