#pragma once

#include <QString>

#include <optional>

namespace Pallix::Bake {

// The number a setting field's text stands for. A comma is read as the decimal point whatever
// the desktop's language, so "0,5" and "0.5" are both one half; space around the number is
// ignored. Text that holds no such number gives none, and problem (when given) says why, as a
// phrase such as "\"abc\" is not a number".
std::optional<float> ReadFloatField(const QString& text, QString* problem = nullptr);
// A whole number within the int range: "7" and "7,0" are 7, "7,5" is refused rather than cut.
std::optional<int> ReadIntField(const QString& text, QString* problem = nullptr);

}  // namespace Pallix::Bake
