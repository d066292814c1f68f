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

TEST(FbxTransform, EveryPartOfTheChainMatchesTheHandComputedMatrix) {
    SceneData data;
    std::vector<std::pair<std::string, Columns>> expected;
    auto add = [&](const std::string& name, std::vector<Property> properties, const Columns& columns, int parent = -1) {
        const int model = AddTriangleModel(data, name, parent);
        data.models[model].properties = std::move(properties);
        expected.emplace_back(name, columns);
        return model;
    };
    add("rot", {VectorProperty("Lcl Rotation", 90, 90, 0)}, {{0, 0, -1}, {1, 0, 0}, {0, -1, 0}, {0, 0, 0}});
    // Geometric transforms move the mesh only.
    add("pivotless",
        {VectorProperty("Lcl Translation", 1, 0, 0), VectorProperty("Lcl Rotation", 0, 0, 90),
         VectorProperty("GeometricTranslation", 0, 1, 0)},
        {{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}, {0, 0, 0}});
    add("scaled", {VectorProperty("Lcl Scaling", 2, 2, 2), VectorProperty("GeometricTranslation", 1, 2, 3)},
        {{2, 0, 0}, {0, 2, 0}, {0, 0, 2}, {2, 4, 6}});

    // The rotation order applies while RotationActive is set; without it X, then Y, then Z.
    const double a = 30, b = 45, c = 60;
    const M3 x = Rx(a), y = Ry(b), z = Rz(c);
    const M3 orders[6] = {z * y * x, y * z * x, x * z * y, z * x * y, y * x * z, x * y * z};
    for (int order = 0; order < 6; ++order)
        add("order" + std::to_string(order),
            {VectorProperty("Lcl Rotation", a, b, c), EnumProperty("RotationOrder", order), BoolProperty("RotationActive", true)},
            orders[order].AsColumns());
    add("orderInactive", {VectorProperty("Lcl Rotation", a, b, c), EnumProperty("RotationOrder", 5)}, orders[0].AsColumns());
    // (90, 0, 90) in XYZ order maps x to y, y to z, z to x; in ZYX order x to z, y to -x, z to -y.
    add("xyz", {VectorProperty("Lcl Rotation", 90, 0, 90), BoolProperty("RotationActive", true)},
        {{0, 1, 0}, {0, 0, 1}, {1, 0, 0}, {0, 0, 0}});
    add("zyx", {VectorProperty("Lcl Rotation", 90, 0, 90), EnumProperty("RotationOrder", 5), BoolProperty("RotationActive", true)},
        {{0, 0, 1}, {-1, 0, 0}, {0, -1, 0}, {0, 0, 0}});

    // Pre (90, 0, 0), rotation (0, 0, 90), post (0, 90, 0): Rx(90) Rz(90) Ry(-90) takes x to -y,
    // y to -x and z to -z; pre- and post-rotation only count while the rotation is active.
    const std::vector<Property> rotations{VectorProperty("PreRotation", 90, 0, 0), VectorProperty("Lcl Rotation", 0, 0, 90),
                                          VectorProperty("PostRotation", 0, 90, 0)};
    std::vector<Property> active = rotations;
    active.push_back(BoolProperty("RotationActive", true));
    add("prePostActive", active, {{0, -1, 0}, {-1, 0, 0}, {0, 0, -1}, {0, 0, 0}});
    add("prePostInactive", rotations, {{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}, {0, 0, 0}});

    // Rotation about the pivot (1, 0, 0): the translation column is R (-1, 0, 0) + (1, 0, 0).
    add("rotationPivot", {VectorProperty("Lcl Rotation", 0, 0, 90), VectorProperty("RotationPivot", 1, 0, 0)},
        {{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}, {1, -1, 0}});
    // T + Roff + Rp + R (-Rp + Soff + Sp - S Sp) = (11, 0, 5) + Rz(90) (-1, 2, 0) = (9, -1, 5).
    add("allOffsets",
        {VectorProperty("Lcl Translation", 10, 0, 0), VectorProperty("RotationOffset", 0, 0, 5),
         VectorProperty("RotationPivot", 1, 0, 0), VectorProperty("Lcl Rotation", 0, 0, 90),
         VectorProperty("ScalingOffset", 0, 3, 0), VectorProperty("ScalingPivot", 0, 1, 0), VectorProperty("Lcl Scaling", 2, 2, 2)},
        {{0, 2, 0}, {-2, 0, 0}, {0, 0, 2}, {9, -1, 5}});

    // Parent: rotation 90 about Z, scaling (2, 1, 1). Children: translation (1, 0, 0), rotation
    // 90 about Z, whose origin is parent (1, 0, 0) = (0, 2, 0) whatever the inherit type. Type 0
    // scales in the child's axes, Rz(180) diag(2, 1, 1); type 1 is the plain product Rz(90)
    // diag(2, 1, 1) Rz(90); type 2 keeps the parent's own scale from the child.
    const int parent = add("parent", {VectorProperty("Lcl Rotation", 0, 0, 90), VectorProperty("Lcl Scaling", 2, 1, 1)},
                           {{0, 2, 0}, {-1, 0, 0}, {0, 0, 1}, {0, 0, 0}});
    const Columns inherited[3] = {{{-2, 0, 0}, {0, -1, 0}, {0, 0, 1}, {0, 2, 0}},
                                  {{-1, 0, 0}, {0, -2, 0}, {0, 0, 1}, {0, 2, 0}},
                                  {{-1, 0, 0}, {0, -1, 0}, {0, 0, 1}, {0, 2, 0}}};
    for (int type = 0; type < 3; ++type)
        add("inherit" + std::to_string(type),
            {VectorProperty("Lcl Translation", 1, 0, 0), VectorProperty("Lcl Rotation", 0, 0, 90), EnumProperty("InheritType", type)},
            inherited[type], parent);

    // Geometric transforms are not inherited.
    const int geometric = add("geometric",
                              {VectorProperty("Lcl Translation", 0, 0, 1), VectorProperty("GeometricTranslation", 0, 0, 7),
                               VectorProperty("GeometricScaling", 3, 3, 3), VectorProperty("GeometricRotation", 0, 0, 90)},
                              {{0, 3, 0}, {-3, 0, 0}, {0, 0, 3}, {0, 0, 8}});
    add("geometricChild", {VectorProperty("Lcl Translation", 1, 0, 0)}, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}}, geometric);

    // A mirroring scale keeps its handedness.
    Columns mirrored = Ry(30).AsColumns();
    for (int i = 0; i < 3; ++i) {
        mirrored.x[i] *= -1;
        mirrored.y[i] *= 2;
        mirrored.z[i] *= 3;
    }
    add("mirror", {VectorProperty("Lcl Scaling", -1, 2, 3), VectorProperty("Lcl Rotation", 0, 30, 0)}, mirrored);

    for (const Format& format : {Format{Encoding::Binary, 7500, true}, Format{Encoding::Ascii, 7400, false}}) {
        SCOPED_TRACE(format.Describe());
        const auto scene = ImportScene(data, format);
        for (const auto& [name, columns] : expected) ExpectTransform(*scene, name, columns);
        // The normal matrix is the inverse transpose: for a uniform scale 2 it is 0.5.
        EXPECT_NEAR(FindMesh(*scene, "scaled")->normalMatrix[0], 0.5, 1e-6);
    }
}

TEST(FbxTransform, TemplateDefaultsFillMissingProperties) {
    SceneData data;
    data.modelTemplate = {VectorProperty("Lcl Scaling", 3, 3, 3), VectorProperty("Lcl Translation", 0, 5, 0)};
    AddTriangleModel(data, "fromTemplate");
    data.models[AddTriangleModel(data, "own")].properties = {VectorProperty("Lcl Scaling", 1, 1, 1)};
    // A property given twice counts with its later value.
    data.models[AddTriangleModel(data, "twice")].properties = {VectorProperty("Lcl Translation", 7, 0, 0),
                                                                VectorProperty("Lcl Scaling", 2, 2, 2),
                                                                VectorProperty("Lcl Translation", 0, 0, 1)};
    // A second template of the same class is not the one used.
    std::vector<Node> records = data.Records({Encoding::Ascii, 7400, false});
    Node& modelType = records[2].children[1];
    Node second{"PropertyTemplate", {Value::String("FbxNode")}};
    second.Add({"Properties70", {}, {Node{"P", {Value::String("Lcl Scaling"), Value::String("Lcl Scaling"), Value::String(""),
                                                Value::String("A"), Value::Double(9), Value::Double(9), Value::Double(9)}}}});
    modelType.Add(second);
    const std::string path = (TestDir() / "templates.fbx").string();
    WriteFile(path, Write(records, {Encoding::Ascii, 7400, false}));
    testing::internal::CaptureStdout();
    const auto scene = ImportFile(path);
    testing::internal::GetCapturedStdout();
    ExpectTransform(*scene, "fromTemplate", {{3, 0, 0}, {0, 3, 0}, {0, 0, 3}, {0, 5, 0}});
    ExpectTransform(*scene, "own", {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 5, 0}});
    ExpectTransform(*scene, "twice", {{2, 0, 0}, {0, 2, 0}, {0, 0, 2}, {0, 0, 1}});
}
