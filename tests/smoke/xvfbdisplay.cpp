#include "xvfbdisplay.h"

#include "firmwarefixture.h"
#include "helperprocess.h"

#include <QDeadlineTimer>
#include <QStandardPaths>

#include <csignal>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

using namespace Qt::StringLiterals;

namespace {

// Xlib's default error handler ends the whole process with exit(): no
// destructor runs and the server and the program are left behind. While
// one of these lives, an error (a window that vanished while it was looked
// at) only makes the request fail.
class XErrorTrap
{
public:
    explicit XErrorTrap(Display *display)
        : m_display(display)
        , m_previous(XSetErrorHandler([](Display *, XErrorEvent *) { return 0; }))
    {
    }
    ~XErrorTrap()
    {
        // Errors of the requests made so far arrive while still trapped.
        XSync(m_display, False);
        XSetErrorHandler(m_previous);
    }
    Q_DISABLE_COPY_MOVE(XErrorTrap)

private:
    Display *m_display;
    XErrorHandler m_previous;
};

} // namespace

XvfbDisplay::~XvfbDisplay()
{
    setAnswering(true);
    if (m_display)
        XCloseDisplay(m_display);
    m_server.terminate();
    if (!m_server.waitForFinished(patience)) {
        m_server.kill();
        m_server.waitForFinished();
    }
}

void XvfbDisplay::setAnswering(bool answering)
{
    if (m_server.state() == QProcess::Running)
        ::kill(pid_t(m_server.processId()), answering ? SIGCONT : SIGSTOP);
}

bool XvfbDisplay::start()
{
    const QString xvfb = QStandardPaths::findExecutable(u"Xvfb"_s);
    if (xvfb.isEmpty()) {
        m_error = u"Xvfb is not installed"_s;
        return false;
    }
    m_error = u"no Xvfb display could be started"_s;
    endWithThisProcess(m_server);
    // Xvfb takes a free display itself and names it on stdout once it is
    // ready. Free means no socket either, not only no lock file: in a
    // chroot the lock files of the machine's other X servers are not seen,
    // but their abstract sockets are, and a display picked by lock file
    // alone may be another server's.
    m_server.start(xvfb, { u"-displayfd"_s, u"1"_s, u"-screen"_s, u"0"_s, u"1024x768x24"_s, u"-nolisten"_s, u"tcp"_s });
    QDeadlineTimer deadline(patience);
    while (m_server.waitForStarted() && !m_server.canReadLine() && !deadline.hasExpired()
           && m_server.state() == QProcess::Running) {
        m_server.waitForReadyRead(100);
    }
    bool named = false;
    m_number = m_server.canReadLine() ? m_server.readLine().trimmed().toInt(&named) : -1;
    if (named)
        m_display = XOpenDisplay(name().toLatin1().constData());
    if (!m_display) {
        m_server.kill();
        m_server.waitForFinished();
    }
    return m_display != nullptr;
}

QString XvfbDisplay::name() const
{
    return u":%1"_s.arg(m_number);
}

QString XvfbDisplay::errorString() const
{
    return m_error;
}

Window XvfbDisplay::findWindow(const QString &title) const
{
    const XErrorTrap trap(m_display);
    return findWindow(title, DefaultRootWindow(m_display));
}

Window XvfbDisplay::findWindow(const QString &title, Window parent) const
{
    Window root = 0;
    Window *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(m_display, parent, &root, &root, &children, &count))
        return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && !found; ++i) {
        char *name = nullptr;
        XWindowAttributes attributes;
        if (XFetchName(m_display, children[i], &name) && QString::fromUtf8(name) == title
            && XGetWindowAttributes(m_display, children[i], &attributes) && attributes.map_state == IsViewable)
            found = children[i];
        else
            found = findWindow(title, children[i]);
        XFree(name);
    }
    XFree(children);
    return found;
}

QImage XvfbDisplay::grab(Window window) const
{
    const XErrorTrap trap(m_display);
    XWindowAttributes attributes;
    XImage *image = XGetWindowAttributes(m_display, window, &attributes)
            ? XGetImage(m_display, window, 0, 0, unsigned(attributes.width), unsigned(attributes.height), AllPlanes, ZPixmap)
            : nullptr;
    if (!image)
        return QImage();
    // A 24-bit visual stores pixels as 32-bit xRGB, as QImage's RGB32 does.
    const QImage copy = QImage(reinterpret_cast<const uchar *>(image->data), image->width, image->height,
                               image->bytes_per_line, QImage::Format_RGB32).copy();
    XDestroyImage(image);
    return copy;
}

void XvfbDisplay::click(Window window, const QPoint &position) const
{
    const XErrorTrap trap(m_display);
    int x = 0;
    int y = 0;
    Window child = 0;
    XTranslateCoordinates(m_display, window, DefaultRootWindow(m_display), position.x(), position.y(), &x, &y, &child);
    XTestFakeMotionEvent(m_display, -1, x, y, CurrentTime);
    XTestFakeButtonEvent(m_display, Button1, True, CurrentTime);
    XTestFakeButtonEvent(m_display, Button1, False, CurrentTime);
}

void XvfbDisplay::pressKey(const QString &key) const
{
    const XErrorTrap trap(m_display);
    const bool shifted = key.startsWith(u"Shift+"_s);
    const QByteArray name = (shifted ? key.mid(6) : key).toLatin1();
    const unsigned int code = XKeysymToKeycode(m_display, XStringToKeysym(name.constData()));
    const unsigned int shift = XKeysymToKeycode(m_display, XK_Shift_L);
    if (shifted)
        XTestFakeKeyEvent(m_display, shift, True, CurrentTime);
    XTestFakeKeyEvent(m_display, code, True, CurrentTime);
    XTestFakeKeyEvent(m_display, code, False, CurrentTime);
    if (shifted)
        XTestFakeKeyEvent(m_display, shift, False, CurrentTime);
}

void XvfbDisplay::focus(Window window) const
{
    const XErrorTrap trap(m_display);
    XSetInputFocus(m_display, window, RevertToParent, CurrentTime);
}

void XvfbDisplay::requestClose(Window window) const
{
    const XErrorTrap trap(m_display);
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(m_display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(m_display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(m_display, window, False, NoEventMask, &event);
}
