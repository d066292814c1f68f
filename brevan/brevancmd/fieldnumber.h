#pragma once

#include <QString>

#include <limits>
#include <optional>

namespace Pallix::Bake {

// The number a setting field's text stands for. A comma is read as the decimal point whatever
// the desktop's language, so "0,5" and "0.5" are both one half; space around the number is
// ignored. Text that holds no such number gives none, and problem (when given) says why, as a
// phrase such as "\"abc\" is not a number". The float is the one nearest to the decimal text.
std::optional<float> ReadFloatField(const QString& text, QString* problem = nullptr);
// A whole number within the int range: "7" and "7,0" are 7, "7,5" is refused rather than cut.
std::optional<int> ReadIntField(const QString& text, QString* problem = nullptr);

// As above, and refused (with a problem naming the range) outside minimum to maximum; a maximum
// of infinity bounds the number below only.
std::optional<float> ReadFloatField(const QString& text, float minimum, float maximum, QString* problem);
std::optional<int> ReadIntField(const QString& text, int minimum, int maximum, QString* problem);

// The range as the problems above and the fields' tool tips give it: "0 to 360", "0 or more".
QString RangeText(float minimum, float maximum = std::numeric_limits<float>::infinity());
QString RangeText(int minimum, int maximum);

// A float as the store keeps it: with as few significant digits as read back as the same float,
// six at least and nine at most, so that what a session baked is what the next one bakes.
QString StoredFloatText(float value);

}  // namespace Pallix::Bake
