#ifndef EMAIL_H
#define EMAIL_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include "tgetarray.h"

// The contact report: rate-limited, written to emailMessage.txt and sent
// over SMTPS by the curl tool.
class Email : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Email)
public:
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

    // The seven values of the "json" parameter (as received from the request
    // parser), whole; empty when they cannot be read.
    // isJson: the text was a JSON object, not the old text form.
    static QStringList readValues(const QByteArray &json, bool *isJson = nullptr);
    // Index of the first value over its limit, or -1.
    static int tooLong(const QStringList &values);
    // The line-break rules applied to values that passed the length check.
    static QStringList withoutLineBreaks(QStringList values, bool isJson);
    static QByteArray messageFileBytes(const QStringList &values);
    // curl's command line after the program name.
    QStringList toolArguments() const;

private:
    bool send(const QStringList &values);

    QString server;
    QString from;
    QString to;
    QString user;
    QString password;
    QString tool;
    int toolTimeout = 30000;
    int sentThisRun = 0;
};

#endif // EMAIL_H
