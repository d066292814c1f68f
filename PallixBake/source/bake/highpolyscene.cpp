#include <QDateTime>
#include <QFileInfo>
#include <QString>

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <chrono>

#include "bake/bakemanager.h"
#include "geometry/scene.h"
#include "io/fbximporter.h"
#include "io/objimporter.h"
#include "io/plyimporter.h"
#include "trace/swtracemesh.h"

namespace Pallix::Bake {

namespace {

bool ContainsNoCase(const std::string& text, const char* needle) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return lower.find(needle) != std::string::npos;
}

int64_t SecondsSince1970() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

// Last modification of a file in whole seconds since 1970; -1 when it cannot be read, which
// never matches a cache.
int64_t ModifiedSeconds(const std::string& path) {
    const QFileInfo info(QString::fromStdString(path));
    if (!info.exists()) return -1;
    return info.lastModified().toSecsSinceEpoch();
}

// Imports one high-poly file by the importer its name asks for; other files contribute nothing.
void ImportHighPolyFile(const std::string& path, Scene* scene) {
    if (ContainsNoCase(path, ".fbx")) {
        FBXImporter importer;
        importer.viewName = "gameview";
        importer.triangulate = true;
        importer.Import(path.c_str(), scene);
    } else if (ContainsNoCase(path, ".obj")) {
        OBJImporter importer;
        importer.Import(path.c_str(), scene);
    } else if (ContainsNoCase(path, ".ply")) {
        PLYImporter importer;
        importer.Import(path.c_str(), scene);
    }
}

}  // namespace

void BakeManager::LoadHighPolyScene(BakeJob* job, int flags, bool discard, const std::vector<std::string>* groupNames) {
    if (!traceMeshes.empty() && !discard) {
        bool reuse = true;
        if (flags & ~cachedFlags) {
            cachedFlags = flags;
            reuse = false;
        }
        if (reuse) {
            if (groupNames)
                reuse = !groupNames->empty() && cachedGroupNames == *groupNames;
            else
                reuse = cachedGroupNames.empty();
        }
        if (reuse && cachedPaths.size() == job->highPolyPaths.size()) {
            for (size_t i = 0; i < cachedPaths.size() && reuse; ++i) {
                reuse = cachedPaths[i] == job->highPolyPaths[i];
                if (reuse) {
                    const int64_t modified = ModifiedSeconds(cachedPaths[i]);
                    reuse = modified >= 0 && modified <= cacheTime;
                }
            }
        } else {
            reuse = false;
        }
        if (reuse) return;
    }
    if (!traceMeshes.empty()) ClearSceneCache();
    // The cache key is written only once the load has succeeded: a failed load must never be
    // taken for a complete one by a later job.
    cachedPaths.clear();
    cachedFlags = flags;

    Scene scene(flags);
    for (const std::string& path : job->highPolyPaths) ImportHighPolyFile(path, &scene);
    traceTriangles = scene.CountTriangles();
    if (flags & NeedNeighbourDirections) scene.ComputeNeighbourDirections();

    const Math::AABB3 bounds = scene.GetBounds();
    sceneMin[0] = bounds.minX;
    sceneMin[1] = bounds.minY;
    sceneMin[2] = bounds.minZ;
    sceneMax[0] = bounds.maxX;
    sceneMax[1] = bounds.maxY;
    sceneMax[2] = bounds.maxZ;
    // An empty scene keeps its inverted bounds, whose centre is the origin.
    scene.Translate(-bounds.Centre());

    if (!directMode) {
        if (groupNames) {
            for (const std::string& name : *groupNames) {
                auto mesh = std::make_unique<SWTraceMesh>();
                scene.BuildTraceMesh(mesh.get(), gridSettings, &name);
                traceMeshes.push_back(std::move(mesh));
            }
            cachedGroupNames = *groupNames;
        } else {
            auto mesh = std::make_unique<SWTraceMesh>();
            scene.BuildTraceMesh(mesh.get(), gridSettings, nullptr);
            traceMeshes.push_back(std::move(mesh));
        }
    }
    cacheTime = SecondsSince1970();
    cachedPaths = job->highPolyPaths;
}

void BakeManager::ClearSceneCache() {
    traceMeshes.clear();
    cachedGroupNames.clear();
    cachedPaths.clear();
}

std::vector<std::string> BakeManager::LowPolyMeshNames(BakeJob* job) {
    Scene scene(0);
    FBXImporter importer;
    importer.viewName = "mayaview";
    importer.Import(job->lowPolyPath.c_str(), &scene);
    std::vector<std::string> names;
    for (const auto& mesh : scene.meshes) names.push_back(mesh->name);
    return names;
}

int BakeManager::LoadEnvelopeScene(BakeJob* job, const std::vector<std::string>* groupNames) {
    Log("Building envelope scene");
    Scene scene(0);
    FBXImporter importer;
    importer.triangulate = true;
    importer.Import(job->envelopePath.c_str(), &scene);
    scene.Translate(Math::Vec3{-(sceneMin[0] + sceneMax[0]) * 0.5f, -(sceneMin[1] + sceneMax[1]) * 0.5f,
                               -(sceneMin[2] + sceneMax[2]) * 0.5f});
    const int triangles = scene.CountTriangles();
    Log("Converting envelope file");
    if (groupNames) {
        for (const std::string& name : *groupNames) {
            Log("Loading envelope file");
            auto mesh = std::make_unique<SWTraceMesh>();
            scene.BuildTraceMesh(mesh.get(), gridSettings, &name);
            envelopeMeshes.push_back(std::move(mesh));
        }
    } else {
        auto mesh = std::make_unique<SWTraceMesh>();
        scene.BuildTraceMesh(mesh.get(), gridSettings, nullptr);
        envelopeMeshes.push_back(std::move(mesh));
    }
    return triangles;
}

}  // namespace Pallix::Bake
