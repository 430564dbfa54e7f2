#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QMenu>
#include <QSettings>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "traymenu.h"

namespace {

// Answers the port dialog without showing it.
class ScriptedTrayMenu : public TrayMenu
{
public:
    using TrayMenu::TrayMenu;
    bool confirm = true;
    int answer = 0;
    int offered = -1;

protected:
    bool askListeningPort(int current, int *chosen) override
    {
        offered = current;
        *chosen = answer;
        return confirm;
    }
};

QAction *actionWithText(const TrayMenu &tray, const QString &text)
{
    for (QAction *action : tray.findChildren<QAction *>()) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

QAction *checkedLanguage(const TrayMenu &tray)
{
    for (QAction *action : tray.findChildren<QAction *>()) {
        if (action->isCheckable() && action->isChecked())
            return action;
    }
    return nullptr;
}

QStringList menuTexts(const QMenu *menu)
{
    QStringList texts;
    for (const QAction *action : menu->actions())
        texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
}

} // namespace

class TestTrayMenu : public QObject
{
    Q_OBJECT
public slots:
    void captureUrl(const QUrl &url) { openedUrls << url; }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void languageFromLocale_data();
    void languageFromLocale();
    void portDialogValue_data();
    void portDialogValue();

    void startLanguage_data();
    void startLanguage();
    void menuLayoutAndIcon();
    void choosingLanguageLoadsAndStores();
    void addressUsesStoredPort_data();
    void addressUsesStoredPort();
    void onlyDoubleClickOpensBrowser_data();
    void onlyDoubleClickOpensBrowser();
    void changePortWritesOnlyOnConfirm_data();
    void changePortWritesOnlyOnConfirm();
    void quitEmitsExitApp();
    void balloonsWithoutTray();

private:
    TraySettings writeConfig(const QString &contents);
    QString stored(const QString &key) const;
    QString iniText();

    std::unique_ptr<QTemporaryDir> dir;
    QList<QUrl> openedUrls;
};

void TestTrayMenu::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tavik"));
    QCoreApplication::setApplicationName(QStringLiteral("Brio"));
    QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "captureUrl");
}

void TestTrayMenu::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
    openedUrls.clear();
}

void TestTrayMenu::cleanup()
{
    dir.reset();
}

TraySettings TestTrayMenu::writeConfig(const QString &contents)
{
    const QString path = dir->filePath(QStringLiteral("config.ini"));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(contents.toUtf8());
    file.close();
    return readConfig(path).tray;
}

QString TestTrayMenu::stored(const QString &key) const
{
    return QSettings(dir->filePath(QStringLiteral("config.ini")), QSettings::IniFormat).value(key).toString();
}

QString TestTrayMenu::iniText()
{
    QFile file(dir->filePath(QStringLiteral("config.ini")));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

// clang-format off
void TestTrayMenu::languageFromLocale_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("language");
    QTest::newRow("Polish") << "pl_PL" << "pl";
    QTest::newRow("Spanish") << "es_ES" << "es";
    QTest::newRow("Argentinian Spanish") << "es_AR" << "es";
    QTest::newRow("German is never chosen") << "de_DE" << "en";
    QTest::newRow("English") << "en_US" << "en";
    QTest::newRow("C locale") << "C" << "en";
    QTest::newRow("no underscore") << "pl" << "en";
    QTest::newRow("script part") << "sr_Latn_RS" << "en";
    QTest::newRow("empty") << "" << "en";
}
// clang-format on

void TestTrayMenu::languageFromLocale()
{
    QFETCH(QString, locale);
    QFETCH(QString, language);
    QCOMPARE(TrayMenu::languageFromLocale(locale), language);
}

void TestTrayMenu::portDialogValue_data()
{
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("shown");
    QTest::newRow("inside") << 8080 << 8080;
    QTest::newRow("lowest") << 80 << 80;
    QTest::newRow("below 80") << 79 << 80;
    QTest::newRow("zero") << 0 << 80;
    QTest::newRow("highest") << 65535 << 65535;
    QTest::newRow("above range") << 70000 << 65535;
}

void TestTrayMenu::portDialogValue()
{
    QFETCH(int, stored);
    QFETCH(int, shown);
    QCOMPARE(TrayMenu::portDialogValue(stored), shown);
}

// clang-format off
void TestTrayMenu::startLanguage_data()
{
    QTest::addColumn<QString>("prefLang");
    QTest::addColumn<QString>("checked");
    QTest::addColumn<QString>("launchText");
    QTest::addColumn<QString>("listening");
    QTest::addColumn<QString>("toolkitCancel");

    QTest::newRow("en") << "en" << "&English" << "&Launch browser" << "Program is listening on port: 8080." << "Cancel";
    QTest::newRow("es") << "es" << "&Espanol" << "&Abrir navegador" << "El programa escucha en el puerto: 8080."
                        << "Cancelar";
    QTest::newRow("de") << "de" << "&Deutsch" << "&Browser öffnen" << "Das Programm empfängt auf Port: 8080."
                        << "Abbrechen";
    QTest::newRow("pl") << "pl" << "&Polski" << "&Uruchom przeglądarkę" << "Program nasłuchuje na porcie: 8080."
                        << "Anuluj";
    // Unknown codes are kept; their files are missing, so texts stay English.
    QTest::newRow("unknown code") << "xx" << "&English" << "&Launch browser" << "Program is listening on port: 8080."
                                  << "Cancel";
}
// clang-format on

void TestTrayMenu::startLanguage()
{
    QFETCH(QString, prefLang);
    QFETCH(QString, checked);
    QFETCH(QString, launchText);
    QFETCH(QString, listening);
    QFETCH(QString, toolkitCancel);

    const TraySettings settings =
            writeConfig(QStringLiteral("[listener]\nport=8080\n[other]\nprefLang=%1\n").arg(prefLang));
    {
        TrayMenu tray(qApp, settings, QStringLiteral(BRIO_APP_DIR));
        QCOMPARE(tray.currentLanguage(), prefLang);
        QVERIFY(checkedLanguage(tray));
        QCOMPARE(checkedLanguage(tray)->text(), checked);
        QVERIFY(actionWithText(tray, launchText));
        QVERIFY(actionWithText(tray, launchText)->font().bold());
        QCOMPARE(tray.listeningMessageText(), listening);
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), toolkitCancel);
    }
    // The translators leave with the tray.
    QCOMPARE(QCoreApplication::translate("TrayMenu", "&Launch browser"), QStringLiteral("&Launch browser"));
    QCOMPARE(stored("other/prefLang"), prefLang);
}

void TestTrayMenu::menuLayoutAndIcon()
{
    const TraySettings settings = writeConfig(QStringLiteral("[other]\nprefLang=en\n"));
    TrayMenu tray(qApp, settings, QStringLiteral(BRIO_APP_DIR));
    const QSystemTrayIcon *icon = tray.findChild<QSystemTrayIcon *>();
    QVERIFY(icon);
    QCOMPARE(icon->toolTip(), QStringLiteral("Brio 0.3.15"));
    QVERIFY(!icon->icon().isNull());
    QVERIFY(!QIcon(QStringLiteral(":/images/tray_icon")).pixmap(16, 16).isNull());
    QVERIFY(!QIcon(QStringLiteral(":/images/tray_icon2")).pixmap(16, 16).isNull());

    const QMenu *menu = icon->contextMenu();
    QVERIFY(menu);
    QCOMPARE(menuTexts(menu),
             (QStringList{"&Launch browser", "&Copy IP address to clipboard", "-", "&Language",
                          "&Change listening port", "-", "&About", "-", "&Quit"}));
    const QMenu *languages = menu->actions().at(3)->menu();
    QVERIFY(languages);
    QCOMPARE(menuTexts(languages), (QStringList{"&English", "&Espanol", "&Deutsch", "&Polski"}));
    QStringList codes;
    for (const QAction *action : languages->actions())
        codes << action->data().toString();
    QCOMPARE(codes, (QStringList{"en", "es", "de", "pl"}));
}

void TestTrayMenu::choosingLanguageLoadsAndStores()
{
    const TraySettings settings = writeConfig(QStringLiteral("[listener]\nport=8080\n[other]\nprefLang=en\n"));
    TrayMenu tray(qApp, settings, QStringLiteral(BRIO_APP_DIR));

    QAction *german = actionWithText(tray, QStringLiteral("&Deutsch"));
    QVERIFY(german);
    german->trigger();
    QCOMPARE(tray.currentLanguage(), QStringLiteral("de"));
    QVERIFY(german->isChecked());
    QVERIFY(actionWithText(tray, QStringLiteral("B&eenden")));
    QCOMPARE(stored("other/prefLang"), QStringLiteral("de"));

    // Choosing the language in force again neither reloads nor writes.
    writeConfigValue(settings.configFile, "other/prefLang", "zz");
    german->trigger();
    QCOMPARE(stored("other/prefLang"), QStringLiteral("zz"));

    actionWithText(tray, QStringLiteral("&English"))->trigger();
    QVERIFY(actionWithText(tray, QStringLiteral("&Quit")));
    const QString ini = iniText();
    QVERIFY2(ini.contains(QStringLiteral("[other]\nprefLang=en")), qPrintable(ini));
    QVERIFY2(ini.contains(QStringLiteral("[listener]\nport=8080")), qPrintable(ini));
}

// clang-format off
void TestTrayMenu::addressUsesStoredPort_data()
{
    QTest::addColumn<QString>("config");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("bindError");
    QTest::newRow("port 8080") << "[listener]\nport=8080\n" << "http://127.0.0.1:8080"
                               << "Cannot bind on port: 8080. Port already in use!";
    QTest::newRow("no port key") << "[listener]\nhost=127.0.0.1\n" << "http://127.0.0.1:80"
                                 << "Cannot bind on port: 80. Port already in use!";
    QTest::newRow("empty file") << "" << "http://127.0.0.1:80" << "Cannot bind on port: 80. Port already in use!";
}
// clang-format on

void TestTrayMenu::addressUsesStoredPort()
{
    QFETCH(QString, config);
    QFETCH(QString, address);
    QFETCH(QString, bindError);
    const TraySettings settings = writeConfig(config + QStringLiteral("[other]\nprefLang=en\n"));
    TrayMenu tray(qApp, settings, QStringLiteral(BRIO_APP_DIR));

    actionWithText(tray, QStringLiteral("&Launch browser"))->trigger();
    QCOMPARE(openedUrls, QList<QUrl>{QUrl(address)});

    QApplication::clipboard()->clear();
    actionWithText(tray, QStringLiteral("&Copy IP address to clipboard"))->trigger();
    QCOMPARE(QApplication::clipboard()->text(), address);
    QCOMPARE(tray.bindErrorMessageText(), bindError);
}

void TestTrayMenu::onlyDoubleClickOpensBrowser_data()
{
    QTest::addColumn<int>("reason");
    QTest::addColumn<int>("opened");
    QTest::newRow("double click") << int(QSystemTrayIcon::DoubleClick) << 1;
    QTest::newRow("single click") << int(QSystemTrayIcon::Trigger) << 0;
    QTest::newRow("context menu") << int(QSystemTrayIcon::Context) << 0;
    QTest::newRow("middle click") << int(QSystemTrayIcon::MiddleClick) << 0;
}

void TestTrayMenu::onlyDoubleClickOpensBrowser()
{
    QFETCH(int, reason);
    QFETCH(int, opened);
    const TraySettings settings = writeConfig(QStringLiteral("[listener]\nport=8080\n[other]\nprefLang=en\n"));
    TrayMenu tray(qApp, settings, QStringLiteral(BRIO_APP_DIR));
    QSystemTrayIcon *icon = tray.findChild<QSystemTrayIcon *>();
    emit icon->activated(QSystemTrayIcon::ActivationReason(reason));
    QCOMPARE(openedUrls.size(), opened);
}

void TestTrayMenu::changePortWritesOnlyOnConfirm_data()
{
    QTest::addColumn<bool>("confirm");
    QTest::addColumn<QString>("storedPort");
    QTest::addColumn<int>("offered");
    QTest::addColumn<QString>("expectedPort");
    QTest::newRow("confirmed") << true << "8080" << 8080 << "9000";
    QTest::newRow("cancelled") << false << "8080" << 8080 << "8080";
    QTest::newRow("no port yet") << true << "" << 80 << "9000";
}

void TestTrayMenu::changePortWritesOnlyOnConfirm()
{
    QFETCH(bool, confirm);
    QFETCH(QString, storedPort);
    QFETCH(int, offered);
    QFETCH(QString, expectedPort);
    const QString portLine = storedPort.isEmpty() ? QString() : QStringLiteral("port=") + storedPort + "\n";
    const TraySettings settings =
            writeConfig(QStringLiteral("[listener]\n") + portLine + QStringLiteral("[other]\nprefLang=en\n"));
    ScriptedTrayMenu tray(qApp, settings, QStringLiteral(BRIO_APP_DIR));
    tray.confirm = confirm;
    tray.answer = 9000;

    actionWithText(tray, QStringLiteral("&Change listening port"))->trigger();
    QCOMPARE(tray.offered, offered);
    QCOMPARE(stored("listener/port"), expectedPort);
    QCOMPARE(stored("other/prefLang"), QStringLiteral("en"));
    // A new port counts from the next start only.
    QCOMPARE(tray.localAddress(), QStringLiteral("http://127.0.0.1:") + QString::number(offered));
}

void TestTrayMenu::quitEmitsExitApp()
{
    const TraySettings settings = writeConfig(QStringLiteral("[other]\nprefLang=en\n"));
    TrayMenu tray(qApp, settings, QStringLiteral(BRIO_APP_DIR));
    QSignalSpy spy(&tray, &TrayMenu::exitApp);
    actionWithText(tray, QStringLiteral("&Quit"))->trigger();
    QCOMPARE(spy.count(), 1);
}

void TestTrayMenu::balloonsWithoutTray()
{
    const TraySettings settings = writeConfig(QStringLiteral("[other]\nprefLang=pl\n"));
    TrayMenu tray(qApp, settings, QStringLiteral(BRIO_APP_DIR));
    tray.showListeningMessage();
    tray.showBindErrorMessage();
    QCOMPARE(tray.bindErrorMessageText(), QStringLiteral("Nie można otworzyć portu: 80. Port jest już zajęty!"));
}

QTEST_MAIN(TestTrayMenu)
#include "tst_traymenu.moc"
