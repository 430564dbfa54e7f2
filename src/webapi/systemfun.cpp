#include "systemfun.h"

#include "serialline.h"

#include <QBuffer>
#include <QDebug>
#include <QImage>
#include <QImageReader>
#include <QPageLayout>
#include <QPageSize>
#include <QPrinter>
#include <QSettings>
#include <QTemporaryFile>
#include <QTextDocument>
#include <QUrl>

#include "httpresponse.h"

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

// An embedded image may not unpack into more pixels than a page could show.
constexpr qint64 maxImagePixels = 16 * 1024 * 1024;

// A document that loads nothing from the disk or the network: a page could
// otherwise embed private files, or wait for ever on a FIFO.
class PdfDocument : public QTextDocument
{
protected:
    QVariant loadResource(int type, const QUrl &name) override
    {
        const QVariant resource = SystemFun::pdfResource(type, name);
        if (resource.isValid() || type != ImageResource)
            return resource;
        // Given nothing, Qt's image handler would read the name as a file
        // itself; an empty picture ends the search here.
        QImage blank(1, 1, QImage::Format_ARGB32);
        blank.fill(Qt::transparent);
        return blank;
    }
};
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

    PdfDocument document;
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

bool SystemFun::refuseOversizedPdf(const QByteArray &filename, const QByteArray &content, HttpResponse &response)
{
    if (!filename.contains(".pdf"))
        return false;
    const int nul = content.indexOf('\0');
    if ((nul < 0 ? content.size() : nul) <= maxPdfHtml)
        return false;
    // The text the server gives any request too large for it.
    response.setStatus(413, "entity too large");
    response.write("413 Entity too large\r\n", true);
    return true;
}

QVariant SystemFun::pdfResource(int type, const QUrl &url)
{
    if (url.scheme().compare(QLatin1String("data"), Qt::CaseInsensitive) != 0)
        return QVariant();
    // data:[<media type>][;base64],<data>
    const QByteArray text = url.toEncoded(QUrl::FullyEncoded).mid(5);
    const int comma = text.indexOf(',');
    if (comma < 0)
        return QVariant();
    const QByteArray header = text.left(comma).toLower();
    const QByteArray payload = QByteArray::fromPercentEncoding(text.mid(comma + 1));
    const QByteArray bytes = header.endsWith(";base64") ? QByteArray::fromBase64(payload) : payload;
    if (type == QTextDocument::ImageResource) {
        QBuffer buffer;
        buffer.setData(bytes);
        QImageReader reader(&buffer);
        const QSize size = reader.size();
        if (!size.isValid() || qint64(size.width()) * size.height() > maxImagePixels)
            return QVariant();
        const QImage image = reader.read();
        return image.isNull() ? QVariant() : QVariant(image);
    }
    if (type == QTextDocument::StyleSheetResource)
        return QString::fromUtf8(bytes);
    return bytes;
}

QString SystemFun::ftpAddress(const QByteArray &parameter)
{
    const QString address = QString::fromUtf8(QByteArray::fromPercentEncoding(parameter));
    // Control characters and backslashes have no place in an FTP address;
    // some openers read a backslash as a local path.
    for (const QChar c : address) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c == QLatin1Char('\\'))
            return QString();
    }
    if (!address.startsWith(QLatin1String("ftp://"), Qt::CaseInsensitive)
        && !address.startsWith(QLatin1String("ftps://"), Qt::CaseInsensitive))
        return QString();
    const QUrl url(address, QUrl::TolerantMode);
    if (!url.isValid() || url.host().isEmpty())
        return QString();
    return address;
}
