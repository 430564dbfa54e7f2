#ifndef EMAIL_H
#define EMAIL_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include "tgetarray.h"

// The contact report: rate-limited, written to emailMessage.txt in the
// per-user data directory and sent over SMTPS by the curl tool.
class Email : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Email)
public:
    // What config.ini says about the mail server, read in one place.
    struct Config
    {
        QString server;
        QString from;
        QString to;
        QString user;
        QString password;
        QString tool = QStringLiteral("curl");
        // Accept any certificate (self-signed servers), as curl's -k does.
        bool insecureTls = false;
        // A further CA the server's certificate may be signed by.
        QString caFile;

        // The [email] group of configFile; none: no mail server.
        static Config read(const QString &configFile);
    };

    // Reads the [email] group of config.ini (none: no mail server).
    explicit Email(const QString &configFile = QString(), QObject *parent = nullptr);

    QByteArray sendEmail(t_GetArray &parameters);
    void writeEmailError(const QString &text);

    // How long the mail tool may take (ms).
    void setToolTimeout(int milliseconds);

    static constexpr int windowSeconds = 900;
    static constexpr int reportsPerRun = 3;
    static const char *const messageFile;
    static const char *const errorFile;
    // Where the two files live: the per-user data directory.
    static QString filePath(const char *name);

    // The seven values of the "json" parameter (as received from the request
    // parser), whole; empty when they cannot be read.
    // isJson: the text was a JSON object, not the old text form.
    static QStringList readValues(const QByteArray &json, bool *isJson = nullptr);
    // Index of the first value over its limit, or -1.
    static int tooLong(const QStringList &values);
    // The line-break rules applied to values that passed the length check.
    static QStringList withoutLineBreaks(QStringList values, bool isJson);
    static QByteArray messageFileBytes(const QStringList &values);
    // curl's command line after the program name; secrets stay out of it.
    QStringList toolArguments() const;
    // What curl reads as its configuration on standard input: the login.
    QByteArray toolConfig() const;
    // A text as a double-quoted value of a curl configuration line.
    static QByteArray curlQuoted(const QString &text);

private:
    bool send(const QStringList &values);

    Config config;
    int toolTimeout = 30000;
    int sentThisRun = 0;
};

#endif // EMAIL_H
