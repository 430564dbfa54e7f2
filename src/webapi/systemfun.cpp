#include "systemfun.h"

#include "serialline.h"

#include <QDebug>
#include <QPageLayout>
#include <QPageSize>
#include <QPrinter>
#include <QSettings>
#include <QTemporaryFile>
#include <QTextDocument>

namespace {
// Intended: a blank after the commas before "copy" and "langList" and
// nowhere else; the text is compared as it stands, not only parsed.
const char generalInfo[] = "{\"ver\":\"" BRIO_VERSION "\","
                           "\"canUpdate\":1,"
                           "\"canAddNewModules\":1,"
                           "\"canUpdateFirmware\":1,"
                           "\"canSendMailReport\":0,"
                           "\"canAutoUpdateModules\":0, "
                           "\"copy\":\"<span>Copyright &copy; 2012-2020 Tavik. All rights reserved.</span>"
                           "<br><img src=\\\"images/min_logo.gif\\\" style=\\\"width: 150px; margin-top: 5px;\\\">\", "
                           "\"langList\":[\"EN\",\"PL\",\"ESP\",\"DE\",\"IT\",\"FR\"],"
                           "\"osType\":\"other\"}";
} // namespace

SystemFun::SystemFun(QObject *parent) : QObject(parent)
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

QStringList SystemFun::firmwareUpdaterArguments() const
{
    const QSettings settings;
    return firmwareUpdaterArguments(
            settings.value(QStringLiteral("Selected_Port")).toInt(), settings.value(QStringLiteral("baudRate")).toInt(),
            settings.value(QStringLiteral("mode")).toInt(), settings.value(QStringLiteral("slaveID")).toInt(),
            settings.value(QStringLiteral("Tavik_ID")).toInt());
}

QStringList SystemFun::firmwareUpdaterArguments(int selectedPort, int baudRateIndex, int mode, int slaveId,
                                                int tavikId) const
{
    const int rate = baudRateForIndex(baudRateIndex);
    // 9600 baud is the updater's fallback for rates it has no code for.
    const int code = (rate > 0 && baudRateCodes.contains(rate)) ? baudRateCodes.value(rate) : 2;
    return {QString::number(qint16(selectedPort - 1)), QString::number(code), QString::number(qint16(mode + 3)),
            QString::number(qint16(slaveId)), QString::number(tavikId)};
}

QByteArray SystemFun::createAndRetPdf(const QString &html) const
{
    // Intended, odd as they read: these two debug texts stay exactly as they
    // have always been written.
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
