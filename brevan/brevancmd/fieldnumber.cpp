#include "fieldnumber.h"

#include <cmath>
#include <limits>

namespace Pallix::Bake {

namespace {

std::optional<double> ReadNumber(const QString& text, QString* problem) {
    auto refuse = [&](const QString& why) -> std::optional<double> {
        if (problem) *problem = why;
        return std::nullopt;
    };
    QString number = text.trimmed();
    if (number.isEmpty()) return refuse("the field is empty");
    number.replace(',', '.');
    bool ok = false;
    // QString reads in the C locale, whatever the program's or the desktop's locale says.
    const double value = number.toDouble(&ok);
    if (!ok) return refuse("\"" + text + "\" is not a number");
    if (!std::isfinite(value)) return refuse("\"" + text + "\" is not a finite number");
    if (problem) problem->clear();
    return value;
}

}  // namespace

std::optional<float> ReadFloatField(const QString& text, QString* problem) {
    const std::optional<double> value = ReadNumber(text, problem);
    if (!value) return std::nullopt;
    if (std::abs(*value) > double(std::numeric_limits<float>::max())) {
        if (problem) *problem = "\"" + text + "\" is out of range";
        return std::nullopt;
    }
    return float(*value);
}

std::optional<int> ReadIntField(const QString& text, QString* problem) {
    const std::optional<double> value = ReadNumber(text, problem);
    if (!value) return std::nullopt;
    if (std::trunc(*value) != *value) {
        if (problem) *problem = "\"" + text + "\" is not a whole number";
        return std::nullopt;
    }
    if (*value > double(std::numeric_limits<int>::max()) || *value < double(std::numeric_limits<int>::min())) {
        if (problem) *problem = "\"" + text + "\" is out of range";
        return std::nullopt;
    }
    return int(*value);
}

}  // namespace Pallix::Bake
