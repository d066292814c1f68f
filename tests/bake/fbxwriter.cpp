// The FBX writer of the FBX tests, built into this binary too: the end-to-end bakes read
// high-poly meshes with smooth normals and materials, which only FBX files carry.
#include "fbx/fbxtestwriter.cpp"
