#include "io/fbx/fbxmatrix.h"

#include <algorithm>
#include <cmath>

namespace Pallix::Bake {

namespace {

constexpr double Pi = 3.14159265358979323846;

template <typename T>
FbxAffine<T> AxisRotation(int axis, double degrees) {
    FbxAffine<T> r;
    const T a = T(degrees * double(T(Pi / 180.0)));
    const T c = std::cos(a), s = std::sin(a);
    const int i = (axis + 1) % 3, j = (axis + 2) % 3;
    r.m[i][i] = c;
    r.m[i][j] = -s;
    r.m[j][i] = s;
    r.m[j][j] = c;
    return r;
}

}  // namespace

template <typename T>
FbxAffine<T> FbxAffine<T>::Translation(FbxVector3 t) {
    FbxAffine r;
    r.m[0][3] = T(t.x);
    r.m[1][3] = T(t.y);
    r.m[2][3] = T(t.z);
    return r;
}

template <typename T>
FbxAffine<T> FbxAffine<T>::Scaling(FbxVector3 s) {
    FbxAffine r;
    r.m[0][0] = T(s.x);
    r.m[1][1] = T(s.y);
    r.m[2][2] = T(s.z);
    return r;
}

template <typename T>
FbxAffine<T> FbxAffine<T>::Rotation(FbxVector3 degrees, FbxRotationOrder order) {
    const FbxAffine x = AxisRotation<T>(0, degrees.x), y = AxisRotation<T>(1, degrees.y),
                    z = AxisRotation<T>(2, degrees.z);
    switch (order) {
        case FbxRotationOrder::XZY: return y * z * x;
        case FbxRotationOrder::YZX: return x * z * y;
        case FbxRotationOrder::YXZ: return z * x * y;
        case FbxRotationOrder::ZXY: return y * x * z;
        case FbxRotationOrder::ZYX: return x * y * z;
        default: return z * y * x;
    }
}

template <typename T>
FbxAffine<T> FbxAffine<T>::operator*(const FbxAffine& b) const {
    FbxAffine r;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 4; ++j) {
            T v = j == 3 ? m[i][3] : T(0);
            for (int k = 0; k < 3; ++k) v += m[i][k] * b.m[k][j];
            r.m[i][j] = v;
        }
    }
    return r;
}

template <typename T>
FbxAffine<T> FbxAffine<T>::Inverse() const {
    const T (&a)[3][4] = m;
    const T c00 = a[1][1] * a[2][2] - a[1][2] * a[2][1];
    const T c01 = a[1][2] * a[2][0] - a[1][0] * a[2][2];
    const T c02 = a[1][0] * a[2][1] - a[1][1] * a[2][0];
    const T det = a[0][0] * c00 + a[0][1] * c01 + a[0][2] * c02;
    FbxAffine r;
    if (det == T(0) || !std::isfinite(det)) {
        for (auto& row : r.m) std::fill(row, row + 3, T(0));
    } else {
        const T inv = T(1) / det;
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

template <typename T>
FbxAffine<T> FbxAffine<T>::Linear() const {
    FbxAffine r = *this;
    r.m[0][3] = r.m[1][3] = r.m[2][3] = T(0);
    return r;
}

template <typename T>
FbxVector3 FbxAffine<T>::TransformPoint(FbxVector3 p) const {
    const T x = T(p.x), y = T(p.y), z = T(p.z);
    return {double(m[0][0] * x + m[0][1] * y + m[0][2] * z + m[0][3]),
            double(m[1][0] * x + m[1][1] * y + m[1][2] * z + m[1][3]),
            double(m[2][0] * x + m[2][1] * y + m[2][2] * z + m[2][3])};
}

template <typename T>
FbxVector3 FbxAffine<T>::GetS() const {
    double s[3];
    for (int c = 0; c < 3; ++c) s[c] = std::sqrt(m[0][c] * m[0][c] + m[1][c] * m[1][c] + m[2][c] * m[2][c]);
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    const double sign = det < 0.0 ? -1.0 : 1.0;
    return {s[0] * sign, s[1] * sign, s[2] * sign};
}

template <typename T>
FbxVector3 FbxAffine<T>::GetR() const {
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

template struct FbxAffine<double>;
template struct FbxAffine<float>;

}  // namespace Pallix::Bake
