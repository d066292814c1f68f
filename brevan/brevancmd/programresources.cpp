#include "programresources.h"

#include <QFile>

// The resources live in a static library, whose registration nothing would otherwise pull in.
static void RegisterProgramResources() { Q_INIT_RESOURCE(kelvor_program); }

namespace Pallix::Bake {

QString ProgramResourceText(const QString& name) {
    static const bool registered = (RegisterProgramResources(), true);
    (void)registered;
    QFile file(QStringLiteral(":/kelvor/") + name);
    if (!file.open(QIODevice::ReadOnly)) return QString();
    return QString::fromUtf8(file.readAll());
}

}  // namespace Pallix::Bake
