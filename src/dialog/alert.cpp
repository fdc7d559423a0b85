// The confirmation dialog on the destination display; its exit status is the verdict.
#include "dialog/alert.h"

#include "startup/config.h"

#include <X11/Intrinsic.h>
#include <X11/Shell.h>
#include <Xm/MessageB.h>
#include <Xm/Xm.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

int AlertResponse = -1;

static void alert_user_CB(Widget, XtPointer client_data, XtPointer)
{
    AlertResponse = static_cast<int>(reinterpret_cast<intptr_t>(client_data));
}

void alertuser(int i)
{
    XtToolkitInitialize();
    XtAppContext app = XtCreateApplicationContext();
    char cls[] = "Velkoran";
    Display* dpy = XtOpenDisplay(app, dispname, nullptr, cls, nullptr, 0, &progargc, progargv);
    Widget shell = XtAppCreateShell(nullptr, cls, applicationShellWidgetClass, dpy, nullptr, 0);

    // Sized to the name, so no name is ever cut or written past the end.
    const char* host = allownames[i];
    const int len = std::snprintf(nullptr, 0, "Allow X connection from %s ?", host);
    std::string prompt(static_cast<size_t>(len > 0 ? len : 0) + 1, '\0');
    std::snprintf(prompt.data(), prompt.size(), "Allow X connection from %s ?", host);

    char yes[] = "Yes";
    char no[] = "No";
    XmString msg = XmStringCreateSimple(prompt.data());
    XmString yesstr = XmStringCreateSimple(yes);
    XmString nostr = XmStringCreateSimple(no);
    Arg args[4];
    int n = 0;
    XtSetArg(args[n], XmNmessageString, msg), ++n;
    XtSetArg(args[n], XmNokLabelString, yesstr), ++n;
    XtSetArg(args[n], XmNcancelLabelString, nostr), ++n;
    XtSetArg(args[n], XmNdialogStyle, XmDIALOG_FULL_APPLICATION_MODAL), ++n;
    char name[] = "alert";
    Widget dialog = XmCreateWarningDialog(shell, name, args, static_cast<Cardinal>(n));
    XmStringFree(msg);
    XmStringFree(yesstr);
    XmStringFree(nostr);

    XtAddCallback(dialog, XmNokCallback, alert_user_CB,
                  reinterpret_cast<XtPointer>(intptr_t{VERDICT_ALLOW}));
    XtAddCallback(dialog, XmNcancelCallback, alert_user_CB,
                  reinterpret_cast<XtPointer>(intptr_t{VERDICT_DENY}));
    XtUnmanageChild(XmMessageBoxGetChild(dialog, XmDIALOG_HELP_BUTTON));

    AlertResponse = -1;
    XtManageChild(dialog);
    XEvent event;
    while (AlertResponse == -1) {
        XtAppNextEvent(app, &event);
        XtDispatchEvent(&event);
    }
    std::exit(AlertResponse);
}
