#pragma once

#include <QString>

namespace Pallix::Bake {

// A text compiled into the program (the agreement, the library notices), by its name in
// kelvor_program.qrc; empty when there is none.
QString ProgramResourceText(const QString& name);

}  // namespace Pallix::Bake
