#include "fieldnumber.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace Pallix::Bake {

namespace {

struct Number {
    double value;
    QString text;  // trimmed, with a point for a comma
};

std::optional<Number> ReadNumber(const QString& text, QString* problem) {
    auto refuse = [&](const QString& why) -> std::optional<Number> {
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
    return Number{value, number};
}

// Read through a double, a text lying next to halfway between two floats would be rounded twice
// and could land on the other one; this reads it straight to the nearest float.
std::optional<float> NearestFloat(const QString& text) {
    const QByteArray bytes = text.toLatin1();
    float value = 0.0f;
    const auto [end, error] = std::from_chars(bytes.constData(), bytes.constData() + bytes.size(), value);
    if (error != std::errc() || end != bytes.constData() + bytes.size()) return std::nullopt;
    return value;
}

void Refuse(QString* problem, const QString& why) {
    if (problem) *problem = why;
}

}  // namespace

QString RangeText(float minimum, float maximum) {
    if (std::isinf(maximum)) return StoredFloatText(minimum) + " or more";
    return StoredFloatText(minimum) + " to " + StoredFloatText(maximum);
}

QString RangeText(int minimum, int maximum) { return QString::number(minimum) + " to " + QString::number(maximum); }

std::optional<float> ReadFloatField(const QString& text, QString* problem) {
    const std::optional<Number> number = ReadNumber(text, problem);
    if (!number) return std::nullopt;
    // Up to half the last step of the largest float, a number still rounds to that float.
    const double largest = double(std::numeric_limits<float>::max());
    if (std::abs(number->value) >= largest + std::ldexp(1.0, 103)) {
        Refuse(problem, "\"" + text + "\" is too large");
        return std::nullopt;
    }
    // A form the float reader does not take, such as a leading "+", or a number too small for a
    // float to hold but as 0 or a denormal, goes through the double.
    return NearestFloat(number->text).value_or(float(number->value));
}

std::optional<int> ReadIntField(const QString& text, QString* problem) {
    return ReadIntField(text, std::numeric_limits<int>::min(), std::numeric_limits<int>::max(), problem);
}

std::optional<float> ReadFloatField(const QString& text, float minimum, float maximum, QString* problem) {
    const std::optional<float> value = ReadFloatField(text, problem);
    if (!value) return std::nullopt;
    if (*value < minimum || *value > maximum) {
        Refuse(problem, "\"" + text +
                            (std::isinf(maximum) ? "\" is below " + StoredFloatText(minimum)
                                                 : "\" is not within " + RangeText(minimum, maximum)));
        return std::nullopt;
    }
    return value;
}

std::optional<int> ReadIntField(const QString& text, int minimum, int maximum, QString* problem) {
    const std::optional<Number> number = ReadNumber(text, problem);
    if (!number) return std::nullopt;
    if (std::trunc(number->value) != number->value) {
        Refuse(problem, "\"" + text + "\" is not a whole number");
        return std::nullopt;
    }
    if (number->value < double(minimum) || number->value > double(maximum)) {
        const bool full = minimum == std::numeric_limits<int>::min() && maximum == std::numeric_limits<int>::max();
        Refuse(problem, "\"" + text + (full ? "\" is out of range" : "\" is not within " + RangeText(minimum, maximum)));
        return std::nullopt;
    }
    return int(number->value);
}

QString StoredFloatText(float value) {
    for (int digits = 6; digits < 9; ++digits) {
        const QString text = QString::number(double(value), 'g', digits);
        // The text of -0 is "0", which bakes the same.
        if (ReadFloatField(text) == value) return text;
    }
    return QString::number(double(value), 'g', 9);
}

}  // namespace Pallix::Bake
