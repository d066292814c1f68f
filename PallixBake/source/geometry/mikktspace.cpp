#include "geometry/mikktspace.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace Pallix::Bake {

using Math::Vec2;
using Math::Vec3;

// The arithmetic below follows the published algorithm operation for operation, in single
// precision, so that its frames match other implementations bit for bit where possible. Every
// face is a triangle, so a corner's id is 3 * face + corner and each triangle is its own face.
namespace {

constexpr int GridCells = 2048;

enum TriangleFlag : int {
    MarkDegenerate = 1,
    GroupWithAny = 4,  // texture space too small to contribute: joins any group
    OrientPreserving = 8,
};

// Vector helpers spelled out so that the order of every operation is the algorithm's.
Vec3 VAdd(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 VSub(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 VScale(float s, Vec3 v) { return {s * v.x, s * v.y, s * v.z}; }
float VDot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
float VLength(Vec3 v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }
Vec3 VNormalize(Vec3 v) { return VScale(1.0f / VLength(v), v); }
bool NotZero(float x) { return std::fabs(x) > FLT_MIN; }
bool VNotZero(Vec3 v) { return NotZero(v.x) || NotZero(v.y) || NotZero(v.z); }
bool Equal(Vec3 a, Vec3 b) { return a.x == b.x && a.y == b.y && a.z == b.z; }
// Removes the part of v along n and normalises what is left, when anything is.
Vec3 ProjectNormalized(Vec3 v, Vec3 n) {
    Vec3 r = VSub(v, VScale(VDot(n, v), n));
    if (VNotZero(r)) r = VNormalize(r);
    return r;
}

struct TriangleInfo {
    int neighbour[3] = {-1, -1, -1};  // triangle across edge i (corner i to corner i + 1)
    int group[3] = {-1, -1, -1};      // group of corner i
    Vec3 os, ot;                      // texture-space derivatives, normalised and signed
    float magS = 0.0f, magT = 0.0f;
    int face = 0;
    int flags = 0;
};

struct Group {
    int vertex = 0;  // the welded corner id the group is gathered around
    bool orientPreserving = false;
    int faceCount = 0;
    int faceOffset = 0;  // start of the group's triangles in the shared buffer
};

struct TangentSpace {
    Vec3 os{1.0f, 0.0f, 0.0f};
    float magS = 1.0f;
    Vec3 ot{0.0f, 1.0f, 0.0f};
    float magT = 1.0f;
    bool orient = false;
};

class Generator {
public:
    explicit Generator(MikkTSpace::IMesh& mesh) : mesh_(mesh) {}
    bool Run(float angularThreshold);

private:
    Vec3 Position(int id) const { return positions_[size_t(id)]; }
    Vec3 Normal(int id) const { return normals_[size_t(id)]; }
    Vec3 TexCoord(int id) const { return {uvs_[size_t(id)].x, uvs_[size_t(id)].y, 1.0f}; }

    void WeldCorners();
    void MergeCell(std::vector<std::pair<Vec3, int>>& verts, int left, int right);
    void WeldPart(const std::vector<std::pair<Vec3, int>>& verts, int left, int right);
    void InitTriangles(int good);
    void BuildNeighbours(int good);
    int BuildGroups(int good);
    bool AssignStep(int triangle, int group, std::vector<int>& pending);
    void GenerateSpaces(int groupCount, float thresholdCos);
    TangentSpace EvalSpace(const int* members, int count, int vertex) const;
    void CopyDegenerateSpaces(int good, int total);

    MikkTSpace::IMesh& mesh_;
    std::vector<Vec3> positions_, normals_;
    std::vector<Vec2> uvs_;
    std::vector<int> corners_;  // welded corner id, three per triangle slot
    std::vector<TriangleInfo> triangles_;
    std::vector<Group> groups_;
    std::vector<int> groupTriangles_;
    std::vector<TangentSpace> spaces_;
};

int GridCell(float minValue, float maxValue, float value) {
    const float index = float(GridCells) * ((value - minValue) / (maxValue - minValue));
    // A flat extent gives NaN here, which lands in the first cell.
    if (!(index >= 0.0f)) return 0;
    if (index >= float(GridCells)) return GridCells - 1;
    return int(index);
}

// Replaces every corner id by the id of the first corner in its cell with the same position,
// normal and texture coordinate.
void Generator::WeldCorners() {
    const int count = int(corners_.size());
    Vec3 lo = Position(corners_[0]), hi = lo;
    for (int i = 1; i < count; ++i) {
        const Vec3 p = Position(corners_[size_t(i)]);
        for (int c = 0; c < 3; ++c) {
            if (lo[c] > p[c]) lo[c] = p[c];
            else if (hi[c] < p[c]) hi[c] = p[c];
        }
    }
    const Vec3 extent = VSub(hi, lo);
    int channel = 0;
    if (extent.y > extent.x && extent.y > extent.z) channel = 1;
    else if (extent.z > extent.x) channel = 2;
    const float minValue = lo[channel], maxValue = hi[channel];

    std::vector<int> cellCount(GridCells, 0), cellOffset(GridCells, 0), cellOf(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        cellOf[size_t(i)] = GridCell(minValue, maxValue, Position(corners_[size_t(i)])[channel]);
        ++cellCount[size_t(cellOf[size_t(i)])];
    }
    for (int k = 1; k < GridCells; ++k) cellOffset[size_t(k)] = cellOffset[size_t(k - 1)] + cellCount[size_t(k - 1)];
    std::vector<int> table(static_cast<size_t>(count)), filled(GridCells, 0);
    for (int i = 0; i < count; ++i) {
        const int cell = cellOf[size_t(i)];
        table[size_t(cellOffset[size_t(cell)] + filled[size_t(cell)]++)] = i;
    }
    const int largest = *std::max_element(cellCount.begin(), cellCount.end());
    std::vector<std::pair<Vec3, int>> verts;
    verts.reserve(size_t(largest));
    for (int k = 0; k < GridCells; ++k) {
        const int entries = cellCount[size_t(k)];
        if (entries < 2) continue;
        verts.clear();
        for (int e = 0; e < entries; ++e) {
            const int i = table[size_t(cellOffset[size_t(k)] + e)];
            verts.emplace_back(Position(corners_[size_t(i)]), i);
        }
        MergeCell(verts, 0, entries - 1);
    }
}

// Splits the cell at the middle of its widest extent until the points of a part cannot be told
// apart by position, then welds the equal corners of that part.
void Generator::MergeCell(std::vector<std::pair<Vec3, int>>& verts, int left, int right) {
    Vec3 lo = verts[size_t(left)].first, hi = lo;
    for (int l = left + 1; l <= right; ++l) {
        const Vec3 p = verts[size_t(l)].first;
        for (int c = 0; c < 3; ++c) {
            if (lo[c] > p[c]) lo[c] = p[c];
            if (hi[c] < p[c]) hi[c] = p[c];
        }
    }
    const float dx = hi.x - lo.x, dy = hi.y - lo.y, dz = hi.z - lo.z;
    int channel = 0;
    if (dy > dx && dy > dz) channel = 1;
    else if (dz > dx) channel = 2;
    const float separator = 0.5f * (hi[channel] + lo[channel]);
    if (!std::isfinite(separator)) return;

    if (separator >= hi[channel] || separator <= lo[channel]) {
        // The points of this part cannot be split further: weld equal corners, each to the
        // first equal one in the part's order.
        if (right - left < 32) {
            for (int l = left; l <= right; ++l) {
                const int i = verts[size_t(l)].second;
                const int id = corners_[size_t(i)];
                const Vec3 p = Position(id), n = Normal(id), t = TexCoord(id);
                for (int l2 = left; l2 < l; ++l2) {
                    const int id2 = corners_[size_t(verts[size_t(l2)].second)];
                    if (Equal(p, Position(id2)) && Equal(n, Normal(id2)) && Equal(t, TexCoord(id2))) {
                        corners_[size_t(i)] = id2;
                        break;
                    }
                }
            }
        } else {
            WeldPart(verts, left, right);
        }
        return;
    }

    int iL = left, iR = right;
    while (iL < iR) {
        bool readyLeft = false, readyRight = false;
        while (!readyLeft && iL < iR) {
            readyLeft = !(verts[size_t(iL)].first[channel] < separator);
            if (!readyLeft) ++iL;
        }
        while (!readyRight && iL < iR) {
            readyRight = verts[size_t(iR)].first[channel] < separator;
            if (!readyRight) --iR;
        }
        if (readyLeft && readyRight) {
            std::swap(verts[size_t(iL)], verts[size_t(iR)]);
            ++iL;
            --iR;
        }
    }
    if (iL == iR) {
        if (verts[size_t(iR)].first[channel] < separator) ++iL;
        else --iR;
    }
    if (left < iR) MergeCell(verts, left, iR);
    if (iL < right) MergeCell(verts, iL, right);
}

// The same weld for a large part (many corners at one position), by a hash of the exact values
// instead of comparing every pair.
void Generator::WeldPart(const std::vector<std::pair<Vec3, int>>& verts, int left, int right) {
    using Key = std::array<uint32_t, 8>;
    struct KeyHash {
        size_t operator()(const Key& key) const {
            uint64_t h = 0x9E3779B97F4A7C15ull;
            for (uint32_t word : key) h = (h ^ word) * 0xBF58476D1CE4E5B9ull;
            return size_t(h ^ (h >> 31));
        }
    };
    std::unordered_map<Key, int, KeyHash> first;
    first.reserve(size_t(right - left + 1));
    for (int l = left; l <= right; ++l) {
        const int i = verts[size_t(l)].second;
        const int id = corners_[size_t(i)];
        const Vec3 p = Position(id), n = Normal(id);
        const Vec2 t = uvs_[size_t(id)];
        const float values[8] = {p.x, p.y, p.z, n.x, n.y, n.z, t.x, t.y};
        Key key;
        bool comparable = true;
        for (int k = 0; k < 8; ++k) {
            // NaN equals nothing; +0 and -0 are equal and must hash alike.
            comparable = comparable && !std::isnan(values[k]);
            key[size_t(k)] = values[k] == 0.0f ? 0u : std::bit_cast<uint32_t>(values[k]);
        }
        if (!comparable) continue;
        const auto [it, inserted] = first.emplace(key, id);
        if (!inserted) corners_[size_t(i)] = it->second;
    }
}

void Generator::InitTriangles(int good) {
    for (int f = 0; f < good; ++f) {
        TriangleInfo& info = triangles_[size_t(f)];
        info.flags |= GroupWithAny;  // until shown to have usable texture space
        const int* c = &corners_[size_t(3 * f)];
        const Vec3 v1 = Position(c[0]), v2 = Position(c[1]), v3 = Position(c[2]);
        const Vec3 t1 = TexCoord(c[0]), t2 = TexCoord(c[1]), t3 = TexCoord(c[2]);
        const float t21x = t2.x - t1.x, t21y = t2.y - t1.y;
        const float t31x = t3.x - t1.x, t31y = t3.y - t1.y;
        const Vec3 d1 = VSub(v2, v1), d2 = VSub(v3, v1);
        const float signedAreaTimes2 = t21x * t31y - t21y * t31x;
        const Vec3 os = VSub(VScale(t31y, d1), VScale(t21y, d2));
        const Vec3 ot = VAdd(VScale(-t31x, d1), VScale(t21x, d2));
        info.flags |= signedAreaTimes2 > 0 ? OrientPreserving : 0;
        if (NotZero(signedAreaTimes2)) {
            const float area = std::fabs(signedAreaTimes2);
            const float lenOs = VLength(os), lenOt = VLength(ot);
            const float sign = (info.flags & OrientPreserving) == 0 ? -1.0f : 1.0f;
            if (NotZero(lenOs)) info.os = VScale(sign / lenOs, os);
            if (NotZero(lenOt)) info.ot = VScale(sign / lenOt, ot);
            info.magS = lenOs / area;
            info.magT = lenOt / area;
            if (NotZero(info.magS) && NotZero(info.magT)) info.flags &= ~GroupWithAny;
        }
    }
    BuildNeighbours(good);
}

// Finds, for every triangle edge, the triangle that runs the same welded edge the other way.
void Generator::BuildNeighbours(int good) {
    struct Edge {
        int i0, i1, face;
    };
    std::vector<Edge> edges(size_t(3 * good));
    for (int f = 0; f < good; ++f)
        for (int i = 0; i < 3; ++i) {
            const int a = corners_[size_t(3 * f + i)], b = corners_[size_t(3 * f + (i < 2 ? i + 1 : 0))];
            edges[size_t(3 * f + i)] = {a < b ? a : b, a < b ? b : a, f};
        }
    // The keys are unique, so any sort gives the one order the algorithm's sorts produce.
    std::sort(edges.begin(), edges.end(), [](const Edge& a, const Edge& b) {
        return std::tie(a.i0, a.i1, a.face) < std::tie(b.i0, b.i1, b.face);
    });

    // Which edge of triangle `corners` joins i0 and i1, and its ends in the triangle's order.
    auto findEdge = [](const int* corners, int i0, int i1, int& first, int& second) {
        if (corners[0] == i0 || corners[0] == i1) {
            if (corners[1] == i0 || corners[1] == i1) {
                first = corners[0];
                second = corners[1];
                return 0;
            }
            first = corners[2];
            second = corners[0];
            return 2;
        }
        first = corners[1];
        second = corners[2];
        return 1;
    };

    const size_t count = edges.size();
    for (size_t i = 0; i < count; ++i) {
        const Edge& e = edges[i];
        int a0, a1;
        const int edgeA = findEdge(&corners_[size_t(3 * e.face)], e.i0, e.i1, a0, a1);
        if (triangles_[size_t(e.face)].neighbour[edgeA] != -1) continue;
        for (size_t j = i + 1; j < count && edges[j].i0 == e.i0 && edges[j].i1 == e.i1; ++j) {
            const int t = edges[j].face;
            int b0, b1;
            const int edgeB = findEdge(&corners_[size_t(3 * t)], edges[j].i0, edges[j].i1, b1, b0);
            if (a0 == b0 && a1 == b1 && triangles_[size_t(t)].neighbour[edgeB] == -1) {
                triangles_[size_t(e.face)].neighbour[edgeA] = t;
                triangles_[size_t(t)].neighbour[edgeB] = e.face;
                break;
            }
        }
    }
}

// One step of the walk that gathers the triangles around a group's vertex; neighbours still to
// visit are pushed so that they are visited depth first, across edge i before edge i - 1.
bool Generator::AssignStep(int triangle, int g, std::vector<int>& pending) {
    TriangleInfo& info = triangles_[size_t(triangle)];
    Group& group = groups_[size_t(g)];
    const int* c = &corners_[size_t(3 * triangle)];
    const int i = c[0] == group.vertex ? 0 : (c[1] == group.vertex ? 1 : 2);
    if (info.group[i] == g) return true;
    if (info.group[i] != -1) return false;
    if ((info.flags & GroupWithAny) != 0 && info.group[0] == -1 && info.group[1] == -1 && info.group[2] == -1) {
        // The first group to reach a triangle without texture space decides its orientation.
        info.flags &= ~OrientPreserving;
        info.flags |= group.orientPreserving ? OrientPreserving : 0;
    }
    if (((info.flags & OrientPreserving) != 0) != group.orientPreserving) return false;
    groupTriangles_[size_t(group.faceOffset + group.faceCount++)] = triangle;
    info.group[i] = g;
    const int right = info.neighbour[i > 0 ? i - 1 : 2], left = info.neighbour[i];
    if (right >= 0) pending.push_back(right);
    if (left >= 0) pending.push_back(left);
    return true;
}

int Generator::BuildGroups(int good) {
    groups_.clear();
    groups_.reserve(size_t(3 * good));
    groupTriangles_.assign(size_t(3 * good), 0);
    std::vector<int> pending;
    int offset = 0;
    for (int f = 0; f < good; ++f) {
        for (int i = 0; i < 3; ++i) {
            TriangleInfo& info = triangles_[size_t(f)];
            if ((info.flags & GroupWithAny) != 0 || info.group[i] != -1) continue;
            const int g = int(groups_.size());
            Group group;
            group.vertex = corners_[size_t(3 * f + i)];
            group.orientPreserving = (info.flags & OrientPreserving) != 0;
            group.faceOffset = offset;
            groups_.push_back(group);
            info.group[i] = g;
            groupTriangles_[size_t(offset + groups_[size_t(g)].faceCount++)] = f;
            const int left = info.neighbour[i], right = info.neighbour[i > 0 ? i - 1 : 2];
            pending.clear();
            if (right >= 0) pending.push_back(right);
            if (left >= 0) pending.push_back(left);
            while (!pending.empty()) {
                const int t = pending.back();
                pending.pop_back();
                AssignStep(t, g, pending);
            }
            offset += groups_[size_t(g)].faceCount;
        }
    }
    return int(groups_.size());
}

TangentSpace Generator::EvalSpace(const int* members, int count, int vertex) const {
    TangentSpace result;
    result.os = {};
    result.ot = {};
    result.magS = 0.0f;
    result.magT = 0.0f;
    float angleSum = 0.0f;
    for (int m = 0; m < count; ++m) {
        const int f = members[m];
        const TriangleInfo& info = triangles_[size_t(f)];
        if ((info.flags & GroupWithAny) != 0) continue;
        const int* c = &corners_[size_t(3 * f)];
        const int i = c[0] == vertex ? 0 : (c[1] == vertex ? 1 : 2);
        const Vec3 n = Normal(c[i]);
        const Vec3 os = ProjectNormalized(info.os, n);
        const Vec3 ot = ProjectNormalized(info.ot, n);
        const Vec3 p0 = Position(c[i > 0 ? i - 1 : 2]), p1 = Position(c[i]), p2 = Position(c[i < 2 ? i + 1 : 0]);
        const Vec3 v1 = ProjectNormalized(VSub(p0, p1), n);
        const Vec3 v2 = ProjectNormalized(VSub(p2, p1), n);
        // The corner's share is its angle between the two edges.
        float cosine = VDot(v1, v2);
        cosine = cosine > 1 ? 1 : (cosine < -1 ? -1 : cosine);
        const float angle = float(std::acos(double(cosine)));
        result.os = VAdd(result.os, VScale(angle, os));
        result.ot = VAdd(result.ot, VScale(angle, ot));
        result.magS += angle * info.magS;
        result.magT += angle * info.magT;
        angleSum += angle;
    }
    if (VNotZero(result.os)) result.os = VNormalize(result.os);
    if (VNotZero(result.ot)) result.ot = VNormalize(result.ot);
    if (angleSum > 0) {
        result.magS /= angleSum;
        result.magT /= angleSum;
    }
    return result;
}

// Splits every group into subgroups of triangles whose tangents agree within the threshold at
// the group's vertex and gives each corner the frame of its subgroup.
void Generator::GenerateSpaces(int groupCount, float thresholdCos) {
    std::vector<std::vector<int>> subgroups;
    std::vector<TangentSpace> subgroupSpaces;
    std::vector<int> members;
    for (int g = 0; g < groupCount; ++g) {
        const Group& group = groups_[size_t(g)];
        const int* groupFaces = &groupTriangles_[size_t(group.faceOffset)];
        subgroups.clear();
        subgroupSpaces.clear();
        for (int i = 0; i < group.faceCount; ++i) {
            const int f = groupFaces[i];
            const TriangleInfo& info = triangles_[size_t(f)];
            const int index = info.group[0] == g ? 0 : (info.group[1] == g ? 1 : 2);
            const Vec3 n = Normal(corners_[size_t(3 * f + index)]);
            const Vec3 os = ProjectNormalized(info.os, n);
            const Vec3 ot = ProjectNormalized(info.ot, n);
            members.clear();
            for (int j = 0; j < group.faceCount; ++j) {
                const int t = groupFaces[j];
                const TriangleInfo& other = triangles_[size_t(t)];
                const Vec3 os2 = ProjectNormalized(other.os, n);
                const Vec3 ot2 = ProjectNormalized(other.ot, n);
                const bool any = ((info.flags | other.flags) & GroupWithAny) != 0;
                const bool sameFace = info.face == other.face;
                const float cosS = VDot(os, os2), cosT = VDot(ot, ot2);
                if (any || sameFace || (cosS > thresholdCos && cosT > thresholdCos)) members.push_back(t);
            }
            std::sort(members.begin(), members.end());
            size_t l = 0;
            while (l < subgroups.size() && subgroups[l] != members) ++l;
            if (l == subgroups.size()) {
                subgroups.push_back(members);
                subgroupSpaces.push_back(EvalSpace(members.data(), int(members.size()), group.vertex));
            }
            TangentSpace& out = spaces_[size_t(3 * info.face + index)];
            out = subgroupSpaces[l];
            out.orient = group.orientPreserving;
        }
    }
}

// Corners of degenerate triangles take the frame of the first healthy corner they welded to.
void Generator::CopyDegenerateSpaces(int good, int total) {
    std::vector<int> firstGoodCorner(corners_.size(), -1);
    for (int j = 3 * good - 1; j >= 0; --j) firstGoodCorner[size_t(corners_[size_t(j)])] = j;
    for (int t = good; t < total; ++t) {
        for (int i = 0; i < 3; ++i) {
            const int j = firstGoodCorner[size_t(corners_[size_t(3 * t + i)])];
            if (j < 0) continue;
            spaces_[size_t(3 * triangles_[size_t(t)].face + i)] = spaces_[size_t(3 * triangles_[size_t(j / 3)].face + j % 3)];
        }
    }
}

bool Generator::Run(float angularThreshold) {
    const int faceCount = mesh_.FaceCount();
    if (faceCount <= 0) return false;
    const size_t cornerCount = size_t(faceCount) * 3;
    positions_.resize(cornerCount);
    normals_.resize(cornerCount);
    uvs_.resize(cornerCount);
    corners_.resize(cornerCount);
    for (int f = 0; f < faceCount; ++f)
        for (int i = 0; i < 3; ++i) {
            const size_t c = size_t(3 * f + i);
            positions_[c] = mesh_.Position(f, i);
            normals_[c] = mesh_.Normal(f, i);
            uvs_[c] = mesh_.TexCoord(f, i);
            corners_[c] = int(c);
        }
    const float thresholdCos = float(std::cos(double(angularThreshold * 3.1415927f / 180.0f)));

    WeldCorners();

    // Healthy triangles first, in their order; degenerate ones (two equal corner positions) last.
    std::vector<int> order;
    order.reserve(size_t(faceCount));
    for (int f = 0; f < faceCount; ++f) {
        const int* c = &corners_[size_t(3 * f)];
        const Vec3 p0 = Position(c[0]), p1 = Position(c[1]), p2 = Position(c[2]);
        if (!(Equal(p0, p1) || Equal(p0, p2) || Equal(p1, p2))) order.push_back(f);
    }
    const int good = int(order.size());
    for (int f = 0; f < faceCount; ++f) {
        const int* c = &corners_[size_t(3 * f)];
        const Vec3 p0 = Position(c[0]), p1 = Position(c[1]), p2 = Position(c[2]);
        if (Equal(p0, p1) || Equal(p0, p2) || Equal(p1, p2)) order.push_back(f);
    }
    {
        std::vector<int> sorted(cornerCount);
        triangles_.assign(size_t(faceCount), TriangleInfo{});
        for (int t = 0; t < faceCount; ++t) {
            const int f = order[size_t(t)];
            for (int i = 0; i < 3; ++i) sorted[size_t(3 * t + i)] = corners_[size_t(3 * f + i)];
            triangles_[size_t(t)].face = f;
            if (t >= good) triangles_[size_t(t)].flags |= MarkDegenerate;
        }
        corners_.swap(sorted);
    }

    InitTriangles(good);
    const int groupCount = BuildGroups(good);
    spaces_.assign(cornerCount, TangentSpace{});
    GenerateSpaces(groupCount, thresholdCos);
    CopyDegenerateSpaces(good, faceCount);

    for (int f = 0; f < faceCount; ++f)
        for (int i = 0; i < 3; ++i) {
            const TangentSpace& space = spaces_[size_t(3 * f + i)];
            mesh_.SetTangentSpace(space.os, space.orient ? 1.0f : -1.0f, f, i);
        }
    return true;
}

}  // namespace

bool MikkTSpace::Generate(IMesh& mesh, float angularThreshold) {
    Generator generator(mesh);
    return generator.Run(angularThreshold);
}

}  // namespace Pallix::Bake
