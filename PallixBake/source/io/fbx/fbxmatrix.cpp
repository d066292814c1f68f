#include "io/fbx/fbxmatrix.h"

#include <algorithm>
#include <cmath>

namespace Pallix::Bake {

namespace {

constexpr double DegreesToRadians = 3.14159265358979323846 / 180.0;

FbxMatrix AxisRotation(int axis, double degrees) {
    FbxMatrix r;
    const double a = degrees * DegreesToRadians;
    const double c = std::cos(a), s = std::sin(a);
    const int i = (axis + 1) % 3, j = (axis + 2) % 3;
    r.m[i][i] = c;
    r.m[i][j] = -s;
    r.m[j][i] = s;
    r.m[j][j] = c;
    return r;
}

}  // namespace

FbxMatrix FbxMatrix::Translation(FbxVector3 t) {
    FbxMatrix r;
    r.m[0][3] = t.x;
    r.m[1][3] = t.y;
    r.m[2][3] = t.z;
    return r;
}

FbxMatrix FbxMatrix::Scaling(FbxVector3 s) {
    FbxMatrix r;
    r.m[0][0] = s.x;
    r.m[1][1] = s.y;
    r.m[2][2] = s.z;
    return r;
}

FbxMatrix FbxMatrix::Rotation(FbxVector3 degrees, FbxRotationOrder order) {
    const FbxMatrix x = AxisRotation(0, degrees.x), y = AxisRotation(1, degrees.y), z = AxisRotation(2, degrees.z);
    switch (order) {
        case FbxRotationOrder::XZY: return y * z * x;
        case FbxRotationOrder::YZX: return x * z * y;
        case FbxRotationOrder::YXZ: return z * x * y;
        case FbxRotationOrder::ZXY: return y * x * z;
        case FbxRotationOrder::ZYX: return x * y * z;
        default: return z * y * x;
    }
}

FbxMatrix FbxMatrix::operator*(const FbxMatrix& b) const {
    FbxMatrix r;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 4; ++j) {
            double v = j == 3 ? m[i][3] : 0.0;
            for (int k = 0; k < 3; ++k) v += m[i][k] * b.m[k][j];
            r.m[i][j] = v;
        }
    }
    return r;
}

FbxMatrix FbxMatrix::Inverse() const {
    const double (&a)[3][4] = m;
    const double c00 = a[1][1] * a[2][2] - a[1][2] * a[2][1];
    const double c01 = a[1][2] * a[2][0] - a[1][0] * a[2][2];
    const double c02 = a[1][0] * a[2][1] - a[1][1] * a[2][0];
    const double det = a[0][0] * c00 + a[0][1] * c01 + a[0][2] * c02;
    FbxMatrix r;
    if (det == 0.0 || !std::isfinite(det)) {
        for (auto& row : r.m) std::fill(row, row + 3, 0.0);
    } else {
        const double inv = 1.0 / det;
        r.m[0][0] = c00 * inv;
        r.m[1][0] = c01 * inv;
        r.m[2][0] = c02 * inv;
        r.m[0][1] = (a[0][2] * a[2][1] - a[0][1] * a[2][2]) * inv;
        r.m[1][1] = (a[0][0] * a[2][2] - a[0][2] * a[2][0]) * inv;
        r.m[2][1] = (a[0][1] * a[2][0] - a[0][0] * a[2][1]) * inv;
        r.m[0][2] = (a[0][1] * a[1][2] - a[0][2] * a[1][1]) * inv;
        r.m[1][2] = (a[0][2] * a[1][0] - a[0][0] * a[1][2]) * inv;
        r.m[2][2] = (a[0][0] * a[1][1] - a[0][1] * a[1][0]) * inv;
    }
    for (int i = 0; i < 3; ++i)
        r.m[i][3] = -(r.m[i][0] * a[0][3] + r.m[i][1] * a[1][3] + r.m[i][2] * a[2][3]);
    return r;
}

FbxMatrix FbxMatrix::Linear() const {
    FbxMatrix r = *this;
    r.m[0][3] = r.m[1][3] = r.m[2][3] = 0.0;
    return r;
}

FbxVector3 FbxMatrix::TransformPoint(FbxVector3 p) const {
    return {m[0][0] * p.x + m[0][1] * p.y + m[0][2] * p.z + m[0][3],
            m[1][0] * p.x + m[1][1] * p.y + m[1][2] * p.z + m[1][3],
            m[2][0] * p.x + m[2][1] * p.y + m[2][2] * p.z + m[2][3]};
}

FbxVector3 FbxMatrix::GetS() const {
    double s[3];
    for (int c = 0; c < 3; ++c) s[c] = std::sqrt(m[0][c] * m[0][c] + m[1][c] * m[1][c] + m[2][c] * m[2][c]);
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    const double sign = det < 0.0 ? -1.0 : 1.0;
    return {s[0] * sign, s[1] * sign, s[2] * sign};
}

FbxVector3 FbxMatrix::GetR() const {
    const FbxVector3 scale = GetS();
    const double s[3] = {scale.x, scale.y, scale.z};
    double r[3][3];
    for (int c = 0; c < 3; ++c) {
        // A zero scale leaves that axis undefined; the unit axis stands in, so angles stay finite.
        for (int row = 0; row < 3; ++row)
            r[row][c] = s[c] != 0.0 && std::isfinite(s[c]) ? m[row][c] / s[c] : (row == c ? 1.0 : 0.0);
    }
    // R = Rz(c) Ry(b) Rx(a): r[2][0] = -sin b, r[2][1] = sin a cos b, r[1][0] = sin c cos b.
    const double cosB = std::sqrt(r[0][0] * r[0][0] + r[1][0] * r[1][0]);
    double a, b, c;
    if (cosB > 1e-12) {
        a = std::atan2(r[2][1], r[2][2]);
        b = std::atan2(-r[2][0], cosB);
        c = std::atan2(r[1][0], r[0][0]);
    } else {
        // Gimbal lock: only a + c or a - c is defined; put it all on X.
        a = std::atan2(-r[1][2], r[1][1]);
        b = std::atan2(-r[2][0], cosB);
        c = 0.0;
    }
    const double toDegrees = 180.0 / 3.14159265358979323846;
    auto finite = [](double v) { return std::isfinite(v) ? v : 0.0; };
    return {finite(a * toDegrees), finite(b * toDegrees), finite(c * toDegrees)};
}

}  // namespace Pallix::Bake
