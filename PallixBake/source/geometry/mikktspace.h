#pragma once

#include "core/vecmath.h"

namespace Pallix::Bake {

// The MikkTSpace tangent-space generator: per-corner tangent frames that agree with every other
// application using the same published algorithm. Corners with equal position, normal and
// texture coordinate share a frame within a smoothing group; mirrored texture space gets the
// sign -1; corners of degenerate triangles take the frame of a matching healthy corner.
//
// The geometry is reached through IMesh, one triangle per face. Results come back through
// SetTangentSpace once for every corner of every face, in face and corner order.
class MikkTSpace {
public:
    class IMesh {
    public:
        virtual ~IMesh() = default;
        virtual int FaceCount() const = 0;
        virtual Math::Vec3 Position(int face, int corner) const = 0;
        virtual Math::Vec3 Normal(int face, int corner) const = 0;
        virtual Math::Vec2 TexCoord(int face, int corner) const = 0;
        // sign is +1 where texture space keeps the orientation of the surface, -1 where mirrored.
        virtual void SetTangentSpace(Math::Vec3 tangent, float sign, int face, int corner) = 0;
    };

    // Generates the frames; false (and no SetTangentSpace call) when the mesh has no faces.
    // Frames of one shared corner split when their tangents differ by more than the threshold
    // (degrees); 180 never splits them.
    static bool Generate(IMesh& mesh, float angularThreshold = 180.0f);
};

}  // namespace Pallix::Bake
