#ifndef TRAYMENU_H
#define TRAYMENU_H

#include <QDialog>
#include <QString>
#include <QSystemTrayIcon>

class QAction;
class QActionGroup;
class QApplication;
class QMenu;
class QSettings;
class QTranslator;

// The program's only own user interface: the tray icon, its menu, balloon
// messages and two small dialogs. Never shown itself; it parents the dialogs.
class TrayMenu : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY(TrayMenu)
public:
    // translationDir defaults to the executable's directory.
    TrayMenu(QApplication *application, QSettings *settings, const QString &translationDir = QString());
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
    void enterGroup(const QString &group);

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
    QSettings *settings;
    QString appDir;
    QTranslator *appTranslator;
    QTranslator *qtTranslator;
    QString currentLang;
};

#endif // TRAYMENU_H
