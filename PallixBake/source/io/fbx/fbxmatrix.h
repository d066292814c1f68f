#pragma once

namespace Pallix::Bake {

struct FbxVector3 {
    double x = 0.0, y = 0.0, z = 0.0;
};

// Euler rotation orders of the file format: the first axis named is applied first.
enum class FbxRotationOrder { XYZ = 0, XZY = 1, YZX = 2, YXZ = 3, ZXY = 4, ZYX = 5, SphericXYZ = 6 };

// Affine transform for column vectors: m[row][column], translation in column 3. The reader
// composes node transforms in double precision; the importer builds the transform it stores in
// single precision, so every product and angle is rounded the same way on each side.
template <typename T>
struct FbxAffine {
    T m[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};

    static FbxAffine Translation(FbxVector3 t);
    static FbxAffine Scaling(FbxVector3 s);
    // Rotation by Euler angles in degrees, the axes applied in the given order. Each angle is
    // turned into radians in double precision with pi / 180 rounded to T, then rounded to T.
    static FbxAffine Rotation(FbxVector3 degrees, FbxRotationOrder order = FbxRotationOrder::XYZ);

    FbxAffine operator*(const FbxAffine& b) const;
    // Inverse of an affine map; a singular 3x3 part gives a zero 3x3 part.
    FbxAffine Inverse() const;
    FbxAffine Linear() const;  // the 3x3 part alone
    FbxVector3 TransformPoint(FbxVector3 p) const;
    FbxVector3 GetT() const { return {double(m[0][3]), double(m[1][3]), double(m[2][3])}; }
    // Scaling: the lengths of the axis columns, all three negated when the map mirrors.
    FbxVector3 GetS() const;
    // Euler angles in degrees for XYZ order of the rotation left when GetS is divided out.
    FbxVector3 GetR() const;
};

extern template struct FbxAffine<double>;
extern template struct FbxAffine<float>;

using FbxMatrix = FbxAffine<double>;

}  // namespace Pallix::Bake
