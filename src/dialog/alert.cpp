// The confirmation dialog on the destination display; its exit status is the verdict.
#include "dialog/alert.h"

#include "startup/config.h"

#include <X11/Intrinsic.h>
#include <X11/Shell.h>
#include <Xm/MessageB.h>
#include <Xm/Protocols.h>
#include <Xm/Xm.h>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

int AlertResponse = -1;

// Keys and clicks meant for another window must never answer: for its first moment on screen
// the dialog takes no answer at all.
constexpr unsigned long ARMDELAYMS = 1000;

static void alert_user_CB(Widget, XtPointer client_data, XtPointer)
{
    AlertResponse = static_cast<int>(reinterpret_cast<intptr_t>(client_data));
}

static bool armed;

static void arm_buttons_CB(XtPointer client_data, XtIntervalId*)
{
    const Widget dialog = static_cast<Widget>(client_data);
    armed = true;
    XtSetSensitive(XmMessageBoxGetChild(dialog, XmDIALOG_OK_BUTTON), True);
    const Widget no = XmMessageBoxGetChild(dialog, XmDIALOG_CANCEL_BUTTON);
    XtSetSensitive(no, True);
    XmProcessTraversal(no, XmTRAVERSE_CURRENT);
}

static bool isinput(const XEvent& e)
{
    return e.type == KeyPress || e.type == KeyRelease || e.type == ButtonPress ||
           e.type == ButtonRelease;
}

// The display never opened in time: an end without a verdict.
static void giveup(int)
{
    ::_exit(1);
}

void alertuser(int i)
{
    std::signal(SIGALRM, giveup);
    ::alarm(DIALOGOPENLIMIT);
    XtToolkitInitialize();
    XtAppContext app = XtCreateApplicationContext();
    char cls[] = "Velkoran";
    // The destination's own address, as checked at start-up: a name looked up again could lead
    // the question, and the user's cookie, to another server.
    Display* dpy = XtOpenDisplay(app, destname, nullptr, cls, nullptr, 0, &progargc, progargv);
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
    Arg args[5];
    int n = 0;
    XtSetArg(args[n], XmNmessageString, msg), ++n;
    XtSetArg(args[n], XmNokLabelString, yesstr), ++n;
    XtSetArg(args[n], XmNcancelLabelString, nostr), ++n;
    XtSetArg(args[n], XmNdialogStyle, XmDIALOG_FULL_APPLICATION_MODAL), ++n;
    // Return answers No: a Yes always takes a deliberate act.
    XtSetArg(args[n], XmNdefaultButtonType, XmDIALOG_CANCEL_BUTTON), ++n;
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
    // Tab moves between the two buttons (arrow keys do too), so Yes can be chosen without
    // a pointer; the choice then still takes its own Return or space.
    for (const unsigned char which : {XmDIALOG_OK_BUTTON, XmDIALOG_CANCEL_BUTTON}) {
        const Widget button = XmMessageBoxGetChild(dialog, which);
        XtVaSetValues(button, XmNnavigationType, XmEXCLUSIVE_TAB_GROUP, nullptr);
        XtSetSensitive(button, False);
    }

    // Closing the window through the window manager is the answer No.
    const Widget frame = XtParent(dialog);
    XtVaSetValues(frame, XmNdeleteResponse, XmDO_NOTHING, nullptr);
    char protocol[] = "WM_DELETE_WINDOW";
    XmAddWMProtocolCallback(frame, XInternAtom(dpy, protocol, False), alert_user_CB,
                            reinterpret_cast<XtPointer>(intptr_t{VERDICT_DENY}));

    AlertResponse = -1;
    armed = false;
    bool timing = false;
    XtManageChild(dialog);
    ::alarm(0);
    XEvent event;
    while (AlertResponse == -1) {
        XtAppNextEvent(app, &event);
        // The first moment counts from when the dialog is really on screen, which a window
        // manager may delay.
        if (!timing && event.type == MapNotify && event.xmap.window == XtWindow(frame)) {
            timing = true;
            XtAppAddTimeOut(app, ARMDELAYMS, arm_buttons_CB, dialog);
        }
        // Only the user answers: input another client sent (XSendEvent) never does, nor any
        // input of the first moment.
        if (isinput(event) && (!armed || event.xany.send_event))
            continue;
        XtDispatchEvent(&event);
    }
    std::exit(AlertResponse);
}
