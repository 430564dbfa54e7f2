#ifndef CREATOR_H
#define CREATOR_H

#include <QObject>
#include <QString>

#include "config.h"

class HttpListener;
class MyHttpRequestHandler;
class StaticFileController;
class TrayMenu;

// Reads config.ini once, builds and wires everything that runs, each part on
// its own section of the file, and ends or hands over the process.
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
    const BrioConfig &configuration() const { return config; }

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

    const BrioConfig config;
    StaticFileController *staticFileController;
    MyHttpRequestHandler *router;
    HttpListener *listener;
    TrayMenu *tray;
    bool handingOver = false;
};

#endif // CREATOR_H
