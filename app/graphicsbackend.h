#ifndef GRAPHICSBACKEND_H
#define GRAPHICSBACKEND_H

#include <QQuickWindow>
#include <QtGlobal>

// The window is a form and a log. Drawn in software, only what changed is
// drawn again; OpenGL and Direct3D draw the whole window at every change of
// the log, and where no graphics processor is at hand (a virtual machine, a
// remote desktop, Xvfb) the processor does that work at several times the
// cost, taken from the flashing tool beside it. Whoever asks for another
// backend gets it. Called before the first window is made.
inline void chooseGraphicsBackend()
{
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND") && qEnvironmentVariableIsEmpty("QSG_RHI_BACKEND"))
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
}

#endif // GRAPHICSBACKEND_H
