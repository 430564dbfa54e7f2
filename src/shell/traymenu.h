#ifndef TRAYMENU_H
#define TRAYMENU_H

#include <QDialog>
#include <QString>
#include <QSystemTrayIcon>

#include "config.h"

class QAction;
class QActionGroup;
class QApplication;
class QMenu;
class QTranslator;

// The program's only own user interface: the tray icon, its menu, balloon
// messages and two small dialogs. Never shown itself; it parents the dialogs.
class TrayMenu : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY(TrayMenu)
public:
    // translationDir defaults to the executable's directory. The language and
    // the port dialog's choice are written to settings.configFile.
    TrayMenu(QApplication *application, const TraySettings &settings, const QString &translationDir = QString());
    ~TrayMenu() override;

    void showListeningMessage();
    void showBindErrorMessage();

    QString listeningMessageText() const;
    QString bindErrorMessageText() const;
    QString localAddress() const;
    QString currentLanguage() const;

    // Language for a locale name such as pl_PL: pl or es, otherwise en.
    static QString languageFromLocale(const QString &localeName);
    // The port dialog cannot show values outside 80..65535.
    static int portDialogValue(int storedPort);
    static QString aboutText();

signals:
    void exitApp();

public slots:
    void trayClicked(QSystemTrayIcon::ActivationReason reason);
    void slotLaunchBrowser();
    void slotCopyIp2Clipboard();
    void slotExitApp();
    void slotLanguageChanged(QAction *action);
    void slotChangeListeningPort();
    void slotShowAbout();

protected:
    // Asks the user for a new port; false when cancelled. Tests replace it.
    virtual bool askListeningPort(int current, int *chosen);

private:
    void createActions();
    void createTrayIcon();
    void loadLanguage(const QString &language);
    void switchTranslator(QTranslator *translator, const QString &fileName);
    void savePreferredLanguage(const QString &language);
    void retranslateUi();

    QAction *launchBrowserAction = nullptr;
    QAction *copyAddressAction = nullptr;
    QAction *englishAction = nullptr;
    QAction *polishAction = nullptr;
    QAction *spanishAction = nullptr;
    QAction *germanAction = nullptr;
    QActionGroup *languageGroup = nullptr;
    QAction *changePortAction = nullptr;
    QAction *aboutAction = nullptr;
    QAction *quitAction = nullptr;
    QMenu *languageMenu = nullptr;
    QMenu *trayIconMenu = nullptr;
    QSystemTrayIcon *trayIcon = nullptr;

    QApplication *application;
    int port = 80;
    // The port as config.ini has it now: the dialog offers it.
    int storedPort = 80;
    QString configFile;
    QString appDir;
    QTranslator *appTranslator;
    QTranslator *qtTranslator;
    QString currentLang;
};

#endif // TRAYMENU_H
