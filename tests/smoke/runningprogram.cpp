#include "runningprogram.h"

#include "helperprocess.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

#include <csignal>

using namespace Qt::StringLiterals;

int colourCount(const QImage &image)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 2) {
        for (int x = 0; x < image.width(); x += 2)
            colours.insert(image.pixel(x, y));
    }
    return colours.size();
}

QString qmlDiagnostics(const QString &errors)
{
    static const QRegularExpression diagnostic(u"^.*(\\.qml:\\d+|ReferenceError|TypeError|Binding loop).*$"_s,
                                               QRegularExpression::MultilineOption);
    return diagnostic.match(errors).captured();
}

QProcessEnvironment userEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(u"QT_QPA_PLATFORM"_s);
#ifdef VELMORIN_SANITIZED_BUILD
    // Mesa's GL driver leaks and is unloaded before the leak report can name
    // it, so nothing could tell its leaks from ours: the sanitized run draws
    // with Qt Quick's software renderer, and leaks of the program still count.
    environment.insert(u"QT_QUICK_BACKEND"_s, u"software"_s);
#endif
    return environment;
}

RunningProgram::~RunningProgram()
{
    m_process.kill();
    m_process.waitForFinished();
}

bool RunningProgram::start(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment)
{
    if (!m_display.start()) {
        m_error = m_display.errorString();
        return false;
    }
    QProcessEnvironment withDisplay = environment;
    withDisplay.insert(u"DISPLAY"_s, m_display.name());
    m_process.setProcessEnvironment(withDisplay);
    endWithThisProcess(m_process);
    m_process.start(program, arguments);
    QDeadlineTimer deadline(60000);
    while (!m_window && !deadline.hasExpired() && m_process.state() != QProcess::NotRunning) {
        m_window = m_display.findWindow(u"ESP32-S3 Velmorin"_s);
        if (!m_window)
            QTest::qWait(50);
    }
    m_error = u"no window titled \"ESP32-S3 Velmorin\" appeared"_s;
    return m_window != 0;
}

bool RunningProgram::endWithSignal(int signal)
{
    ::kill(pid_t(m_process.processId()), signal);
    return m_process.waitForFinished(20000);
}

QImage RunningProgram::settledPicture() const
{
    QImage picture;
    QImage previous;
    QDeadlineTimer settled(20000);
    do {
        previous = picture;
        QTest::qWait(250);
        picture = m_display.grab(m_window);
    } while ((colourCount(picture) < 16 || picture != previous) && !settled.hasExpired());
    return picture;
}

std::pair<int, QString> RunningProgram::close()
{
    m_display.requestClose(m_window);
    if (!m_process.waitForFinished(20000))
        return { -1, QString() };
    const int code = m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    return { code, QString::fromUtf8(m_process.readAllStandardError()) };
}
