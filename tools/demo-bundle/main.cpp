// velmorin-demo-bundle DIR [STANDIN]
// Stages a demo firmware/ directory in DIR unless DIR already has one.

#include "demobundle.h"

#include <QCommandLineParser>
#include <QGuiApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    // Pictures are drawn, never shown: no display needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Stages a demo firmware directory for the flasher."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("dir"), QStringLiteral("The directory of the flasher's executable."));
    parser.addPositionalArgument(QStringLiteral("standin"), QStringLiteral("The esptool stand-in to use."),
                                 QStringLiteral("[standin]"));
    parser.process(app);
    const QStringList arguments = parser.positionalArguments();
    if (arguments.isEmpty())
        parser.showHelp(2);

    DemoBundle bundle(arguments.size() > 1 ? arguments.at(1) : QStringLiteral(VELMORIN_STANDIN_PATH));
    const bool staged = bundle.stage(arguments.at(0));
    std::fprintf(staged ? stdout : stderr, "%s\n", qPrintable(bundle.message()));
    return staged ? 0 : 1;
}
