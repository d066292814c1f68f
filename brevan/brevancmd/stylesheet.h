#pragma once

#include <QString>

namespace Pallix::Bake {

// The application style sheet: the dark, orange-headed look, selected by object names and by
// the dynamic properties the window sets to true. Its images are relative to the working
// folder, which start-up makes the program's folder.
QString ApplicationStyleSheet();

}  // namespace Pallix::Bake
