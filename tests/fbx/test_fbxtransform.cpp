#include <cmath>

#include <gtest/gtest.h>

#include "fbx/fbxtesthelpers.h"

using namespace Pallix::Bake;
using namespace FbxTest;

namespace {

// Expected transform as three axis columns and a translation.
struct Columns {
    double x[3], y[3], z[3], t[3];
};

void ExpectTransform(const Scene& scene, const std::string& name, const Columns& expected, double tolerance = 2e-5) {
    const SceneMesh* mesh = FindMesh(scene, name);
    ASSERT_NE(mesh, nullptr) << name;
    SCOPED_TRACE(name);
    const double* columns[4] = {expected.x, expected.y, expected.z, expected.t};
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 3; ++r) EXPECT_NEAR(mesh->transform[c * 3 + r], columns[c][r], tolerance) << "column " << c;
}

// Rotation about one axis as a 3x3 matrix (row-major), for composing expectations.
struct M3 {
    double m[3][3];
    M3 operator*(const M3& b) const {
        M3 r{};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                for (int k = 0; k < 3; ++k) r.m[i][j] += m[i][k] * b.m[k][j];
        return r;
    }
    Columns AsColumns() const {
        return {{m[0][0], m[1][0], m[2][0]}, {m[0][1], m[1][1], m[2][1]}, {m[0][2], m[1][2], m[2][2]}, {0, 0, 0}};
    }
};

M3 Rx(double degrees) {
    const double a = degrees * M_PI / 180.0;
    return {{{1, 0, 0}, {0, std::cos(a), -std::sin(a)}, {0, std::sin(a), std::cos(a)}}};
}
M3 Ry(double degrees) {
    const double a = degrees * M_PI / 180.0;
    return {{{std::cos(a), 0, std::sin(a)}, {0, 1, 0}, {-std::sin(a), 0, std::cos(a)}}};
}
M3 Rz(double degrees) {
    const double a = degrees * M_PI / 180.0;
    return {{{std::cos(a), -std::sin(a), 0}, {std::sin(a), std::cos(a), 0}, {0, 0, 1}}};
}

}  // namespace

TEST(FbxTransform, GlobalAndGeometricExamples) {
    SceneData data;
    data.models[AddTriangleModel(data, "rot")].properties = {VectorProperty("Lcl Rotation", 90, 90, 0)};
    data.models[AddTriangleModel(data, "pivotless")].properties = {
        VectorProperty("Lcl Translation", 1, 0, 0), VectorProperty("Lcl Rotation", 0, 0, 90),
        VectorProperty("GeometricTranslation", 0, 1, 0)};
    data.models[AddTriangleModel(data, "scaled")].properties = {VectorProperty("Lcl Scaling", 2, 2, 2),
                                                                VectorProperty("GeometricTranslation", 1, 2, 3)};
    const auto scene = ImportScene(data);
    ExpectTransform(*scene, "rot", {{0, 0, -1}, {1, 0, 0}, {0, -1, 0}, {0, 0, 0}});
    ExpectTransform(*scene, "pivotless", {{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}, {0, 0, 0}});
    ExpectTransform(*scene, "scaled", {{2, 0, 0}, {0, 2, 0}, {0, 0, 2}, {2, 4, 6}});
    // The normal matrix is the inverse transpose: for a uniform scale 2 it is 0.5.
    EXPECT_NEAR(FindMesh(*scene, "scaled")->normalMatrix[0], 0.5, 1e-6);
}

TEST(FbxTransform, RotationOrderAppliesWhileRotationIsActive) {
    const double a = 30, b = 45, c = 60;
    const M3 x = Rx(a), y = Ry(b), z = Rz(c);
    const M3 expected[6] = {z * y * x, y * z * x, x * z * y, z * x * y, y * x * z, x * y * z};
    SceneData data;
    for (int order = 0; order < 6; ++order) {
        data.models[AddTriangleModel(data, "order" + std::to_string(order))].properties = {
            VectorProperty("Lcl Rotation", a, b, c), EnumProperty("RotationOrder", order),
            BoolProperty("RotationActive", true)};
    }
    // Without RotationActive the order is not applied: X, then Y, then Z.
    data.models[AddTriangleModel(data, "inactive")].properties = {VectorProperty("Lcl Rotation", a, b, c),
                                                                  EnumProperty("RotationOrder", 5)};
    for (const Format& format : {Format{Encoding::Binary, 7500, true}, Format{Encoding::Ascii, 7400, false}}) {
        SCOPED_TRACE(format.Describe());
        const auto scene = ImportScene(data, format);
        for (int order = 0; order < 6; ++order)
            ExpectTransform(*scene, "order" + std::to_string(order), expected[order].AsColumns());
        ExpectTransform(*scene, "inactive", expected[0].AsColumns());
    }
    // Two hand-checked cases: (90, 0, 90) in XYZ order maps x to y, y to z, z to x; in ZYX
    // order x to z, y to -x, z to -y.
    SceneData quarter;
    quarter.models[AddTriangleModel(quarter, "xyz")].properties = {VectorProperty("Lcl Rotation", 90, 0, 90),
                                                                   BoolProperty("RotationActive", true)};
    quarter.models[AddTriangleModel(quarter, "zyx")].properties = {
        VectorProperty("Lcl Rotation", 90, 0, 90), EnumProperty("RotationOrder", 5), BoolProperty("RotationActive", true)};
    const auto scene = ImportScene(quarter);
    ExpectTransform(*scene, "xyz", {{0, 1, 0}, {0, 0, 1}, {1, 0, 0}, {0, 0, 0}});
    ExpectTransform(*scene, "zyx", {{0, 0, 1}, {-1, 0, 0}, {0, -1, 0}, {0, 0, 0}});
}

TEST(FbxTransform, PreAndPostRotation) {
    SceneData data;
    // Pre (90, 0, 0), rotation (0, 0, 90), post (0, 90, 0): Rx(90) Rz(90) Ry(-90) takes x to -y,
    // y to -x and z to -z.
    const std::vector<Property> rotations{VectorProperty("PreRotation", 90, 0, 0), VectorProperty("Lcl Rotation", 0, 0, 90),
                                          VectorProperty("PostRotation", 0, 90, 0)};
    std::vector<Property> active = rotations;
    active.push_back(BoolProperty("RotationActive", true));
    data.models[AddTriangleModel(data, "active")].properties = active;
    data.models[AddTriangleModel(data, "inactive")].properties = rotations;
    const auto scene = ImportScene(data);
    ExpectTransform(*scene, "active", {{0, -1, 0}, {-1, 0, 0}, {0, 0, -1}, {0, 0, 0}});
    ExpectTransform(*scene, "inactive", {{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}, {0, 0, 0}});
}

TEST(FbxTransform, OffsetsAndPivots) {
    SceneData data;
    // Rotation about the pivot (1, 0, 0): the translation column is R (-1, 0, 0) + (1, 0, 0).
    data.models[AddTriangleModel(data, "rotationPivot")].properties = {VectorProperty("Lcl Rotation", 0, 0, 90),
                                                                       VectorProperty("RotationPivot", 1, 0, 0)};
    // T + Roff + Rp + R (-Rp + Soff + Sp - S Sp) = (11, 0, 5) + Rz(90) (-1, 2, 0) = (9, -1, 5).
    data.models[AddTriangleModel(data, "all")].properties = {
        VectorProperty("Lcl Translation", 10, 0, 0), VectorProperty("RotationOffset", 0, 0, 5),
        VectorProperty("RotationPivot", 1, 0, 0),    VectorProperty("Lcl Rotation", 0, 0, 90),
        VectorProperty("ScalingOffset", 0, 3, 0),    VectorProperty("ScalingPivot", 0, 1, 0),
        VectorProperty("Lcl Scaling", 2, 2, 2)};
    const auto scene = ImportScene(data);
    ExpectTransform(*scene, "rotationPivot", {{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}, {1, -1, 0}});
    ExpectTransform(*scene, "all", {{0, 2, 0}, {-2, 0, 0}, {0, 0, 2}, {9, -1, 5}});
}

TEST(FbxTransform, InheritTypesDecideWhereTheParentScaleActs) {
    // Parent: rotation 90 about Z, scaling (2, 1, 1). Child: translation (1, 0, 0), rotation 90
    // about Z. The child's origin is parent (1, 0, 0) = (0, 2, 0) in every case.
    SceneData data;
    const int parent = AddTriangleModel(data, "parent");
    data.models[parent].properties = {VectorProperty("Lcl Rotation", 0, 0, 90), VectorProperty("Lcl Scaling", 2, 1, 1)};
    for (int type = 0; type < 3; ++type) {
        data.models[AddTriangleModel(data, "inherit" + std::to_string(type), parent)].properties = {
            VectorProperty("Lcl Translation", 1, 0, 0), VectorProperty("Lcl Rotation", 0, 0, 90),
            EnumProperty("InheritType", type)};
    }
    const auto scene = ImportScene(data);
    ExpectTransform(*scene, "parent", {{0, 2, 0}, {-1, 0, 0}, {0, 0, 1}, {0, 0, 0}});
    // Parent scale after the child's rotation, in the child's axes: Rz(180) diag(2, 1, 1).
    ExpectTransform(*scene, "inherit0", {{-2, 0, 0}, {0, -1, 0}, {0, 0, 1}, {0, 2, 0}});
    // The plain product: Rz(90) diag(2, 1, 1) Rz(90).
    ExpectTransform(*scene, "inherit1", {{-1, 0, 0}, {0, -2, 0}, {0, 0, 1}, {0, 2, 0}});
    // The parent's own scale does not reach the child.
    ExpectTransform(*scene, "inherit2", {{-1, 0, 0}, {0, -1, 0}, {0, 0, 1}, {0, 2, 0}});
}

TEST(FbxTransform, GeometricTransformsAreNotInherited) {
    SceneData data;
    const int parent = AddTriangleModel(data, "parent");
    data.models[parent].properties = {VectorProperty("Lcl Translation", 0, 0, 1), VectorProperty("GeometricTranslation", 0, 0, 7),
                                      VectorProperty("GeometricScaling", 3, 3, 3),
                                      VectorProperty("GeometricRotation", 0, 0, 90)};
    const int child = AddTriangleModel(data, "child", parent);
    data.models[child].properties = {VectorProperty("Lcl Translation", 1, 0, 0)};
    const auto scene = ImportScene(data);
    ExpectTransform(*scene, "parent", {{0, 3, 0}, {-3, 0, 0}, {0, 0, 3}, {0, 0, 8}});
    ExpectTransform(*scene, "child", {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}});
}

TEST(FbxTransform, TemplateDefaultsFillMissingProperties) {
    SceneData data;
    data.modelTemplate = {VectorProperty("Lcl Scaling", 3, 3, 3), VectorProperty("Lcl Translation", 0, 5, 0)};
    AddTriangleModel(data, "fromTemplate");
    data.models[AddTriangleModel(data, "own")].properties = {VectorProperty("Lcl Scaling", 1, 1, 1)};
    const auto scene = ImportScene(data, {Encoding::Ascii, 7400, false});
    ExpectTransform(*scene, "fromTemplate", {{3, 0, 0}, {0, 3, 0}, {0, 0, 3}, {0, 5, 0}});
    ExpectTransform(*scene, "own", {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 5, 0}});
}

TEST(FbxTransform, MirroringScaleKeepsItsHandedness) {
    SceneData data;
    data.models[AddTriangleModel(data, "mirror")].properties = {VectorProperty("Lcl Scaling", -1, 2, 3),
                                                                VectorProperty("Lcl Rotation", 0, 30, 0)};
    const auto scene = ImportScene(data);
    const M3 r = Ry(30);
    Columns expected = r.AsColumns();
    for (int i = 0; i < 3; ++i) {
        expected.x[i] *= -1;
        expected.y[i] *= 2;
        expected.z[i] *= 3;
    }
    ExpectTransform(*scene, "mirror", expected);
}
