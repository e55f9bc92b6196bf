#include "translators.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

static void installTranslator(const QString& fileName, const QString& directory = QString())
{
    auto* translator = new QTranslator(QCoreApplication::instance());
    (void)translator->load(fileName, directory);
    QCoreApplication::installTranslator(translator);
}

void installTranslators(const QString& localeName)
{
    installTranslator(QStringLiteral(":/i18n/update_") + localeName);
    installTranslator(QStringLiteral("translations/qt_") + localeName);
    // Message box buttons and other texts of the toolkit itself.
    installTranslator(QStringLiteral("qtbase_") + localeName,
                      QLibraryInfo::path(QLibraryInfo::TranslationsPath));
}
