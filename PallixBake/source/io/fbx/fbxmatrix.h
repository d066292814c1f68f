#pragma once

namespace Pallix::Bake {

struct FbxVector3 {
    double x = 0.0, y = 0.0, z = 0.0;
};

// Euler rotation orders of the file format: the first axis named is applied first.
enum class FbxRotationOrder { XYZ = 0, XZY = 1, YZX = 2, YXZ = 3, ZXY = 4, ZYX = 5, SphericXYZ = 6 };

// Affine transform in double precision for column vectors: m[row][column], translation in column 3.
struct FbxMatrix {
    double m[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};

    static FbxMatrix Translation(FbxVector3 t);
    static FbxMatrix Scaling(FbxVector3 s);
    // Rotation by Euler angles in degrees, the axes applied in the given order.
    static FbxMatrix Rotation(FbxVector3 degrees, FbxRotationOrder order = FbxRotationOrder::XYZ);

    FbxMatrix operator*(const FbxMatrix& b) const;
    // Inverse of an affine map; a singular 3x3 part gives a zero 3x3 part.
    FbxMatrix Inverse() const;
    FbxMatrix Linear() const;  // the 3x3 part alone
    FbxVector3 TransformPoint(FbxVector3 p) const;
    FbxVector3 GetT() const { return {m[0][3], m[1][3], m[2][3]}; }
    // Scaling: the lengths of the axis columns, all three negated when the map mirrors.
    FbxVector3 GetS() const;
    // Euler angles in degrees for XYZ order of the rotation left when GetS is divided out.
    FbxVector3 GetR() const;
};

}  // namespace Pallix::Bake
