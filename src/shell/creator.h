#ifndef CREATOR_H
#define CREATOR_H

#include <QObject>
#include <QString>

class QSettings;
class HttpListener;
class MyHttpRequestHandler;
class StaticFileController;
class TrayMenu;

// Builds and wires everything that runs, and ends or hands over the process.
class Creator : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Creator)
public:
    Creator(const QString &configPath, bool restarted, QObject *parent = nullptr);
    ~Creator() override;

    // Null while no listener exists (after Quit or a hand-over).
    HttpListener *httpListener() const;
    MyHttpRequestHandler *requestHandler() const;
    TrayMenu *trayMenu() const;

    // Exit status after the elevated copy or the installer took over.
    static constexpr int handOverExitCode = 12;

public slots:
    void slotRestartAppAsAdmin();
    void slotRunAutoUpdate();
    void slotExitApp();

private:
    void deleteListener();
    // Ends the process when the successor started; otherwise serves on.
    void finishHandOver(bool started, const QString &program);

    QSettings *docrootSettings;
    StaticFileController *staticFileController;
    QSettings *listenerSettings;
    MyHttpRequestHandler *router;
    HttpListener *listener;
    QSettings *traySettings;
    TrayMenu *tray;
    bool handingOver = false;
};

#endif // CREATOR_H
