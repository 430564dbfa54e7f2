#ifndef SYSTEMFUN_H
#define SYSTEMFUN_H

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QStringList>
#include <QVariant>

class HttpResponse;
class QUrl;

// Small services of the web interface: installation facts, the firmware
// updater's command line and HTML to PDF rendering.
class SystemFun : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SystemFun)
public:
    explicit SystemFun(QObject *parent = nullptr);

    QByteArray getGeneralInfo() const;

    // Arguments for the firmware updater, from the serial settings the Modbus
    // engine stored last: port, baud code, mode code, slave id, device id.
    QStringList firmwareUpdaterArguments() const;

    // Pure part of the above, so it can be checked without a settings store.
    QStringList firmwareUpdaterArguments(int selectedPort, int baudRateIndex, int mode, int slaveId, int tavikId) const;

    QByteArray createAndRetPdf(const QString &html) const;

    // The longest HTML rendered to PDF, in bytes.
    static constexpr int maxPdfHtml = 4 * 1024 * 1024;
    // Answers a PDF download whose HTML is past the limit with the server's
    // 413 text; true when it did.
    static bool refuseOversizedPdf(const QByteArray &filename, const QByteArray &content, HttpResponse &response);
    // What a rendered document may load for type (a QTextDocument resource
    // type): only what a data: URL carries, never a file or a network
    // address. Null for anything else.
    static QVariant pdfResource(int type, const QUrl &url);

    // The address openFtpInExplorer may hand to the file browser: the
    // parameter (encoded once more by the browser) when it is an ftp:// or
    // ftps:// URL with a host, else empty.
    static QString ftpAddress(const QByteArray &parameter);

private:
    QMap<int, int> baudRateCodes;
};

#endif // SYSTEMFUN_H
