#include "systemfun.h"

#include <QDebug>
#include <QPageLayout>
#include <QPageSize>
#include <QPrinter>
#include <QSettings>
#include <QTemporaryFile>
#include <QTextDocument>

namespace {
const char generalInfo[] =
    "{\"ver\":\"0.3.15\","
    "\"canUpdate\":1,"
    "\"canAddNewModules\":1,"
    "\"canUpdateFirmware\":1,"
    "\"canSendMailReport\":0,"
    "\"canAutoUpdateModules\":0, "
    "\"copy\":\"<span>Copyright &copy; 2012-2020 Tavik. All rights reserved.</span>"
    "<br><img src=\\\"images/min_logo.gif\\\" style=\\\"width: 150px; margin-top: 5px;\\\">\", "
    "\"langList\":[\"EN\",\"PL\",\"ESP\",\"DE\",\"IT\",\"FR\"],"
    "\"osType\":\"other\"}";

// Same order as the baud-rate choices of the connection form.
const int baudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200,
                         230400, 256000, 1000000};
}

SystemFun::SystemFun(QObject *parent)
    : QObject(parent)
{
    // The updater numbers its rates itself; 5 and 8 are not ours to use.
    baudRateCodes.insert(2400, 0);
    baudRateCodes.insert(4800, 1);
    baudRateCodes.insert(9600, 2);
    baudRateCodes.insert(14400, 3);
    baudRateCodes.insert(19200, 4);
    baudRateCodes.insert(38400, 6);
    baudRateCodes.insert(57600, 7);
    baudRateCodes.insert(115200, 9);
}

QByteArray SystemFun::getGeneralInfo() const
{
    return QByteArray(generalInfo);
}

int SystemFun::baudRateForIndex(int index)
{
    const int count = int(sizeof(baudRates) / sizeof(baudRates[0]));
    return (index >= 0 && index < count) ? baudRates[index] : -1;
}

QStringList SystemFun::firmwareUpdaterArguments() const
{
    const QSettings settings;
    return firmwareUpdaterArguments(settings.value(QStringLiteral("Selected_Port")).toInt(),
                                    settings.value(QStringLiteral("baudRate")).toInt(),
                                    settings.value(QStringLiteral("mode")).toInt(),
                                    settings.value(QStringLiteral("slaveID")).toInt(),
                                    settings.value(QStringLiteral("Tavik_ID")).toInt());
}

QStringList SystemFun::firmwareUpdaterArguments(int selectedPort, int baudRateIndex, int mode,
                                                int slaveId, int tavikId) const
{
    const int rate = baudRateForIndex(baudRateIndex);
    // 9600 baud is the updater's fallback for rates it has no code for.
    const int code = (rate > 0 && baudRateCodes.contains(rate)) ? baudRateCodes.value(rate) : 2;
    return {QString::number(qint16(selectedPort - 1)),
            QString::number(code),
            QString::number(qint16(mode + 3)),
            QString::number(qint16(slaveId)),
            QString::number(tavikId)};
}

QByteArray SystemFun::createAndRetPdf(const QString &html) const
{
    qDebug("\n\n TESTSTST \n\\n");
    qDebug() << html;

    QTextDocument document;
    QPrinter printer(QPrinter::ScreenResolution);
    QTemporaryFile file;
    if (!file.open())
        return QByteArray();

    document.setHtml(html);
    qDebug("\n\n  ++++ TESTSTST \n\\n");
    qDebug() << document.toPlainText();

    printer.setResolution(96);
    printer.setPageSize(QPageSize(QPageSize::A4));
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(file.fileName());
    printer.setPageMargins(QMarginsF(0, 4, 0, 4), QPageLayout::Millimeter);

    const QRect page = printer.pageLayout().paintRectPixels(printer.resolution());
    document.setPageSize(QSizeF(page.width(), page.height()));
    document.print(&printer);

    // The printer wrote through the name; our handle still stands at the start.
    return file.readAll();
}
