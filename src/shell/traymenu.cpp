#include "traymenu.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QIcon>
#include <QInputDialog>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QTranslator>
#include <QUrl>

#include "platformlauncher.h"

namespace {
const char programVersion[] = BRIO_VERSION;
}

// The icons live in a static library; nothing would pull them in otherwise.
// Outside any namespace, so the resource initialiser's name resolves.
static void loadResources()
{
    static const bool loaded = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(loaded)
}

TrayMenu::TrayMenu(QApplication *application, const TraySettings &settings, const QString &translationDir)
    : QDialog(nullptr), application(application), port(settings.port), storedPort(settings.port),
      configFile(settings.configFile), appTranslator(new QTranslator(this)), qtTranslator(new QTranslator(this))
{
    loadResources();

    appDir = (translationDir.isEmpty() ? QCoreApplication::applicationDirPath() : translationDir) + QLatin1Char('/');

    createActions();
    createTrayIcon();

    QString language = settings.prefLang;
    if (language.isEmpty()) {
        language = languageFromLocale(QLocale::system().name());
        savePreferredLanguage(language);
    }
    loadLanguage(language);

    QAction *checked = englishAction;
    for (QAction *action : languageGroup->actions()) {
        if (action->data().toString() == language)
            checked = action;
    }
    checked->setChecked(true);

    connect(trayIcon, &QSystemTrayIcon::activated, this, &TrayMenu::trayClicked);
    trayIcon->setVisible(true);
}

TrayMenu::~TrayMenu()
{
    // Translators are children; take them out of the application first.
    QCoreApplication::removeTranslator(appTranslator);
    QCoreApplication::removeTranslator(qtTranslator);
}

QString TrayMenu::languageFromLocale(const QString &localeName)
{
    const int underscore = localeName.lastIndexOf(QLatin1Char('_'));
    const QString prefix = underscore < 0 ? QString() : localeName.left(underscore);
    if (prefix == QLatin1String("pl"))
        return QStringLiteral("pl");
    if (prefix == QLatin1String("es"))
        return QStringLiteral("es");
    return QStringLiteral("en");
}

int TrayMenu::portDialogValue(int storedPort)
{
    return qBound(80, storedPort, 65535);
}

QString TrayMenu::aboutText()
{
    return QStringLiteral("<b>Brio %1</b><br>"
                          "A gateway between your web browser and Modbus devices.<br><br>"
                          "Made by Tavik.")
            .arg(QLatin1String(programVersion));
}

QString TrayMenu::localAddress() const
{
    return QStringLiteral("http://127.0.0.1:") + QString::number(port);
}

QString TrayMenu::currentLanguage() const
{
    return currentLang;
}

void TrayMenu::createActions()
{
    launchBrowserAction = new QAction(this);
    copyAddressAction = new QAction(this);

    languageGroup = new QActionGroup(this);
    languageGroup->setExclusive(true);
    const auto addLanguage = [this](const QString &text, const QString &code) {
        QAction *action = new QAction(text, this);
        action->setCheckable(true);
        action->setData(code);
        languageGroup->addAction(action);
        return action;
    };
    englishAction = addLanguage(QStringLiteral("&English"), QStringLiteral("en"));
    spanishAction = addLanguage(QStringLiteral("&Espanol"), QStringLiteral("es"));
    germanAction = addLanguage(QStringLiteral("&Deutsch"), QStringLiteral("de"));
    polishAction = addLanguage(QStringLiteral("&Polski"), QStringLiteral("pl"));

    changePortAction = new QAction(this);
    aboutAction = new QAction(this);
    quitAction = new QAction(this);

    connect(languageGroup, &QActionGroup::triggered, this, &TrayMenu::slotLanguageChanged);
    connect(launchBrowserAction, &QAction::triggered, this, &TrayMenu::slotLaunchBrowser);
    connect(copyAddressAction, &QAction::triggered, this, &TrayMenu::slotCopyIp2Clipboard);
    connect(changePortAction, &QAction::triggered, this, &TrayMenu::slotChangeListeningPort);
    connect(aboutAction, &QAction::triggered, this, &TrayMenu::slotShowAbout);
    connect(quitAction, &QAction::triggered, this, &TrayMenu::slotExitApp);
}

void TrayMenu::createTrayIcon()
{
    languageMenu = new QMenu(this);
    languageMenu->addActions(languageGroup->actions());

    trayIconMenu = new QMenu(this);
    trayIconMenu->addAction(launchBrowserAction);
    trayIconMenu->addAction(copyAddressAction);
    trayIconMenu->addSeparator();
    trayIconMenu->addMenu(languageMenu);
    trayIconMenu->addAction(changePortAction);
    trayIconMenu->addSeparator();
    trayIconMenu->addAction(aboutAction);
    trayIconMenu->addSeparator();
    trayIconMenu->addAction(quitAction);

    trayIcon = new QSystemTrayIcon(this);
    trayIcon->setIcon(QIcon(QStringLiteral(":/images/tray_icon2")));
    trayIcon->setContextMenu(trayIconMenu);
    trayIcon->setToolTip(QCoreApplication::applicationName() + QLatin1Char(' ') + QLatin1String(programVersion));
}

void TrayMenu::loadLanguage(const QString &language)
{
    if (language == currentLang)
        return;
    switchTranslator(appTranslator, QStringLiteral("mirta_%1.qm").arg(language));
    switchTranslator(qtTranslator, QStringLiteral("qt_%1.qm").arg(language));
    retranslateUi();
    currentLang = language;
    savePreferredLanguage(language);
}

void TrayMenu::switchTranslator(QTranslator *translator, const QString &fileName)
{
    QCoreApplication::removeTranslator(translator);
    if (translator->load(appDir + fileName))
        QCoreApplication::installTranslator(translator);
}

void TrayMenu::savePreferredLanguage(const QString &language)
{
    writeConfigValue(configFile, QStringLiteral("other/prefLang"), language);
}

void TrayMenu::retranslateUi()
{
    launchBrowserAction->setText(tr("&Launch browser"));
    QFont bold = launchBrowserAction->font();
    bold.setWeight(QFont::Bold);
    launchBrowserAction->setFont(bold);
    copyAddressAction->setText(tr("&Copy IP address to clipboard"));
    languageMenu->setTitle(tr("&Language"));
    changePortAction->setText(tr("&Change listening port"));
    aboutAction->setText(tr("&About"));
    quitAction->setText(tr("&Quit"));
}

void TrayMenu::trayClicked(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick)
        slotLaunchBrowser();
}

void TrayMenu::slotLaunchBrowser()
{
    PlatformLauncher::openUrl(QUrl(localAddress()));
}

void TrayMenu::slotCopyIp2Clipboard()
{
    if (QClipboard *clipboard = QGuiApplication::clipboard())
        clipboard->setText(localAddress());
}

void TrayMenu::slotExitApp()
{
    emit exitApp();
}

void TrayMenu::slotLanguageChanged(QAction *action)
{
    if (action)
        loadLanguage(action->data().toString());
}

void TrayMenu::slotChangeListeningPort()
{
    int chosen = 0;
    if (!askListeningPort(storedPort, &chosen))
        return;
    writeConfigValue(configFile, QStringLiteral("listener/port"), chosen);
    storedPort = chosen;
}

bool TrayMenu::askListeningPort(int current, int *chosen)
{
    bool ok = false;
    *chosen = QInputDialog::getInt(this, tr("Listening port modification"), tr("New listening port:"),
                                   portDialogValue(current), 80, 65535, 1, &ok);
    return ok;
}

void TrayMenu::slotShowAbout()
{
    QMessageBox::about(this, tr("About"), aboutText());
}

QString TrayMenu::listeningMessageText() const
{
    return tr("Program is listening on port: ") + QString::number(port) + QLatin1Char('.');
}

QString TrayMenu::bindErrorMessageText() const
{
    return tr("Cannot bind on port: ") + QString::number(port) + tr(". Port already in use!");
}

void TrayMenu::showListeningMessage()
{
    trayIcon->showMessage(tr("Program is running."), listeningMessageText(), QSystemTrayIcon::Information, 1000);
}

void TrayMenu::showBindErrorMessage()
{
    trayIcon->showMessage(tr("Error!"), bindErrorMessageText(), QSystemTrayIcon::Warning, 4000);
}
