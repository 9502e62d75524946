#include "xvfbdisplay.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

using namespace Qt::StringLiterals;

XvfbDisplay::~XvfbDisplay()
{
    if (m_display)
        XCloseDisplay(m_display);
    if (m_server.state() != QProcess::NotRunning) {
        m_server.terminate();
        if (!m_server.waitForFinished(5000))
            m_server.kill();
        m_server.waitForFinished(5000);
    }
}

bool XvfbDisplay::start()
{
    const QString xvfb = QStandardPaths::findExecutable(u"Xvfb"_s);
    if (xvfb.isEmpty()) {
        m_error = u"Xvfb is not installed"_s;
        return false;
    }
    for (int number = 91; number < 140 && !m_display; ++number) {
        if (QFile::exists(u"/tmp/.X%1-lock"_s.arg(number)))
            continue;
        m_server.start(xvfb, { u":%1"_s.arg(number), u"-screen"_s, u"0"_s, u"1024x768x24"_s,
                               u"-nolisten"_s, u"tcp"_s });
        if (!m_server.waitForStarted(5000))
            continue;
        const QByteArray displayName = ":" + QByteArray::number(number);
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && m_server.state() == QProcess::Running) {
            m_display = XOpenDisplay(displayName.constData());
            if (m_display) {
                m_number = number;
                break;
            }
            QThread::msleep(50);
        }
        if (!m_display && m_server.state() != QProcess::NotRunning) {
            m_server.kill();
            m_server.waitForFinished();
        }
    }
    if (!m_display)
        m_error = u"no Xvfb display could be started: "_s + QString::fromLocal8Bit(m_server.readAllStandardError());
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

QString XvfbDisplay::windowTitle(Window window) const
{
    const Atom netWmName = XInternAtom(m_display, "_NET_WM_NAME", False);
    const Atom utf8String = XInternAtom(m_display, "UTF8_STRING", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char *data = nullptr;
    QString title;
    if (XGetWindowProperty(m_display, window, netWmName, 0, 1024, False, utf8String, &type, &format,
                           &count, &remaining, &data) == Success && data) {
        title = QString::fromUtf8(reinterpret_cast<const char *>(data), int(count));
    }
    if (data)
        XFree(data);
    return title;
}

Window XvfbDisplay::findWindowBelow(Window parent, const QString &titlePrefix) const
{
    Window root = 0;
    Window parentOfParent = 0;
    Window *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(m_display, parent, &root, &parentOfParent, &children, &count))
        return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && !found; ++i) {
        XWindowAttributes attributes;
        if (windowTitle(children[i]).startsWith(titlePrefix)
            && XGetWindowAttributes(m_display, children[i], &attributes)
            && attributes.map_state == IsViewable) {
            found = children[i];
        } else {
            found = findWindowBelow(children[i], titlePrefix);
        }
    }
    if (children)
        XFree(children);
    return found;
}

Window XvfbDisplay::findWindow(const QString &titlePrefix) const
{
    return findWindowBelow(DefaultRootWindow(m_display), titlePrefix);
}

QImage XvfbDisplay::grab(Window window) const
{
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(m_display, window, &attributes))
        return QImage();
    XImage *ximage = XGetImage(m_display, window, 0, 0, unsigned(attributes.width),
                               unsigned(attributes.height), AllPlanes, ZPixmap);
    if (!ximage)
        return QImage();
    QImage image(attributes.width, attributes.height, QImage::Format_RGB32);
    for (int y = 0; y < attributes.height; ++y) {
        for (int x = 0; x < attributes.width; ++x)
            image.setPixel(x, y, uint(XGetPixel(ximage, x, y)) | 0xff000000u);
    }
    XDestroyImage(ximage);
    return image;
}

void XvfbDisplay::requestClose(Window window) const
{
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(m_display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(m_display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(m_display, window, False, NoEventMask, &event);
    XFlush(m_display);
}
