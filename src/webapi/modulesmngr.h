#ifndef MODULESMNGR_H
#define MODULESMNGR_H

#include <QByteArray>
#include <QFileInfo>
#include <QObject>
#include <QString>

// Lists the interface modules below the document root's "modules"
// directory with their HTML, CSS and JavaScript files. Read from disk at
// every call, so a freshly installed module shows at once.
class ModulesMngr : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ModulesMngr)
public:
    // documentRoot as config.ini's [docroot] path gives it, resolved.
    explicit ModulesMngr(const QString &documentRoot, QObject *parent = nullptr);

    QByteArray getListOfInstalledModules() const;

private:
    static QByteArray describeModule(const QString &moduleDir);
    static QByteArray listModuleFiles(const QString &dir, const QString &extension);

    const QFileInfo documentRootInfo;
};

#endif // MODULESMNGR_H
