#ifndef XVFBDISPLAY_H
#define XVFBDISPLAY_H

#include <QImage>
#include <QProcess>

typedef struct _XDisplay Display;
typedef unsigned long Window;

// A private Xvfb server and the few X11 requests a smoke test needs: find a
// top-level window by its title, grab it, and ask it to close.
class XvfbDisplay
{
public:
    XvfbDisplay() = default;
    ~XvfbDisplay();

    // Starts Xvfb on a free display number; errorString() says why not.
    bool start();
    QString name() const;
    QString errorString() const;

    // A viewable window with exactly this title, or 0.
    Window findWindow(const QString &title, Window parent = 0) const;
    QImage grab(Window window) const;
    // Sends WM_DELETE_WINDOW, as a window manager's close button does.
    void requestClose(Window window) const;

private:
    QProcess m_server;
    Display *m_display = nullptr;
    int m_number = -1;
    QString m_error;
};

#endif // XVFBDISPLAY_H
