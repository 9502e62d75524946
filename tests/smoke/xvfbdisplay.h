#ifndef XVFBDISPLAY_H
#define XVFBDISPLAY_H

#include <QImage>
#include <QProcess>
#include <QString>

typedef struct _XDisplay Display;
typedef unsigned long Window;

// A private Xvfb server and the few X11 requests a smoke test needs: find a
// top-level window by its title, grab it, and ask it to close.
class XvfbDisplay
{
public:
    XvfbDisplay() = default;
    ~XvfbDisplay();

    XvfbDisplay(const XvfbDisplay &) = delete;
    XvfbDisplay &operator=(const XvfbDisplay &) = delete;

    // Starts Xvfb on a free display number; errorString() says why not.
    bool start();
    QString name() const;
    QString errorString() const;

    // A viewable window whose title starts with the text, or 0.
    Window findWindow(const QString &titlePrefix) const;
    QString windowTitle(Window window) const;
    QImage grab(Window window) const;
    // Sends WM_DELETE_WINDOW, as a window manager's close button does.
    void requestClose(Window window) const;

private:
    Window findWindowBelow(Window parent, const QString &titlePrefix) const;

    QProcess m_server;
    Display *m_display = nullptr;
    int m_number = -1;
    QString m_error;
};

#endif // XVFBDISPLAY_H
