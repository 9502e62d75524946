#ifndef XVFBDISPLAY_H
#define XVFBDISPLAY_H

#include <QImage>
#include <QPoint>
#include <QProcess>

typedef struct _XDisplay Display;
typedef unsigned long Window;

// A private Xvfb server and the few X11 requests a smoke test needs: find a
// top-level window by its title, grab it, click and type into it as a user
// would, and ask it to close. Windows that vanish while they are looked at
// (the program creates and destroys short-lived ones) are simply not found.
class XvfbDisplay
{
public:
    XvfbDisplay() = default;
    ~XvfbDisplay();

    // Starts Xvfb on a display it finds free; errorString() says why not.
    bool start();
    QString name() const;
    QString errorString() const;

    // A viewable window with exactly this title, or 0.
    Window findWindow(const QString &title) const;
    // The window's pixels, or a null image if it is gone.
    QImage grab(Window window) const;
    // A press and release of the left button at a point of the window.
    void click(Window window, const QPoint &position) const;
    // A press and release of a key named as X names it ("Tab", "Down",
    // "space", "Return"), with Shift held for "Shift+" in front.
    void pressKey(const QString &key) const;
    // Gives the window the keyboard, as a window manager does with a window
    // that opens.
    void focus(Window window) const;
    // Sends WM_DELETE_WINDOW, as a window manager's close button does.
    void requestClose(Window window) const;
    // Stops the server, or lets it go on: a program that waits for a
    // stopped server's answer no longer answers itself. While it is
    // stopped, nothing above may be used.
    void setAnswering(bool answering);

private:
    Window findWindow(const QString &title, Window parent) const;

    QProcess m_server;
    Display *m_display = nullptr;
    int m_number = -1;
    QString m_error;
};

#endif // XVFBDISPLAY_H
