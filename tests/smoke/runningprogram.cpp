#include "runningprogram.h"

#include "firmwarefixture.h"
#include "helperprocess.h"

#include <QDeadlineTimer>
#include <QFile>
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
    // The program draws as it chooses to, as it does for a user.
    environment.remove(u"QT_QUICK_BACKEND"_s);
    environment.remove(u"QSG_RHI_BACKEND"_s);
    return environment;
}

RunningProgram::~RunningProgram()
{
    m_process.kill();
    m_process.waitForFinished();
}

bool RunningProgram::start(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
                           int ignoredSignal)
{
    if (!m_display.start()) {
        m_error = m_display.errorString();
        return false;
    }
    QProcessEnvironment withDisplay = environment;
    withDisplay.insert(u"DISPLAY"_s, m_display.name());
    m_process.setProcessEnvironment(withDisplay);
    endWithThisProcess(m_process);
    if (ignoredSignal != 0) {
        const auto endWithTest = m_process.childProcessModifier();
        m_process.setChildProcessModifier([endWithTest, ignoredSignal] {
            endWithTest();
            ::signal(ignoredSignal, SIG_IGN);
        });
    }
    m_process.start(program, arguments);
    QDeadlineTimer deadline(patience);
    while (!m_window && !deadline.hasExpired() && m_process.state() != QProcess::NotRunning) {
        m_window = m_display.findWindow(u"ESP32-S3 Velmorin"_s);
        if (!m_window)
            QTest::qWait(50);
    }
    m_error = u"no window titled \"ESP32-S3 Velmorin\" appeared"_s;
    return m_window != 0;
}

void RunningProgram::sendSignal(int signal) const
{
    ::kill(pid_t(m_process.processId()), signal);
}

bool RunningProgram::hasTaken(int signal) const
{
    QFile status(u"/proc/%1/status"_s.arg(m_process.processId()));
    if (!status.open(QIODevice::ReadOnly))
        return true;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("ShdPnd:") || line.startsWith("SigPnd:")) {
            if (line.mid(7).trimmed().toULongLong(nullptr, 16) & (1ULL << (signal - 1)))
                return false;
        }
    }
    return true;
}

bool RunningProgram::waitForEnd()
{
    return m_process.waitForFinished(patience);
}

QImage RunningProgram::settledPicture() const
{
    QImage picture;
    QImage previous;
    QDeadlineTimer settled(patience);
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
    if (!m_process.waitForFinished(patience))
        return { -1, QString() };
    const int code = m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    return { code, QString::fromUtf8(m_process.readAllStandardError()) };
}
