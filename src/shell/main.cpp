#include <QApplication>
#include <QDir>
#include <QFile>

#include "creator.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const bool restarted = argc > 1 && qstrcmp(argv[1], "-r") == 0;

    QCoreApplication::setOrganizationName(QStringLiteral("Tavik"));
    QCoreApplication::setApplicationName(QStringLiteral("Brio"));
    // The about box and the port dialog are the only windows; closing them
    // must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);

    const QString configPath = QCoreApplication::applicationDirPath() + QStringLiteral("/config.ini");
    if (!QFile::exists(configPath))
        qFatal("Cannot find config file %s", qPrintable(QDir::toNativeSeparators(configPath)));

    qDebug("Using config file %s", qPrintable(QDir::toNativeSeparators(configPath)));
    // Deleted before the application object, so the tray and the handler
    // threads go while the GUI still exists.
    Creator *creator = new Creator(configPath, restarted, &app);
    const int status = app.exec();
    delete creator;
    return status;
}
