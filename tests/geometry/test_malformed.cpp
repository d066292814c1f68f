#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "core/bakeexception.h"
#include "geometry/scene.h"
#include "io/objimporter.h"
#include "io/plyimporter.h"

using namespace Pallix::Bake;
namespace fs = std::filesystem;

namespace {

fs::path CorpusFolder() {
    return fs::path(KELVOR_TEST_DATA) / "geometry" / "malformed";
}

// "import" or "bake" for the exception the importer threw, "none" when it accepted the file.
std::string Outcome(const fs::path& file, bool fromMemory) {
    std::ifstream in(file, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Scene scene(NeedNormals | NeedUVsAndColours);
    try {
        if (file.extension() == ".obj") {
            OBJImporter importer;
            if (fromMemory) importer.ImportText(data.data(), data.size(), file.c_str(), &scene);
            else importer.Import(file.c_str(), &scene);
        } else {
            PLYImporter importer;
            if (fromMemory) importer.ImportData(data.data(), data.size(), file.c_str(), &scene);
            else importer.Import(file.c_str(), &scene);
        }
    } catch (const ImportException& e) {
        // Messages about the file name it, except the one for a bad face index.
        EXPECT_NE(std::string(e.what()).find(file.filename().string()), std::string::npos) << e.what();
        return "import";
    } catch (const BakeException& e) {
        EXPECT_STREQ(e.what(), "Invalid face in OBJ");
        return "bake";
    }
    return "none";
}

}  // namespace

TEST(MalformedFiles, EveryFileOfTheCorpusIsRefusedCleanly) {
    int files = 0;
    for (const auto& entry : fs::directory_iterator(CorpusFolder())) {
        const fs::path file = entry.path();
        SCOPED_TRACE(file.filename().string());
        ++files;
        for (bool fromMemory : {false, true}) {
            const std::string outcome = Outcome(file, fromMemory);
            if (file.extension() == ".obj") EXPECT_TRUE(outcome == "import" || outcome == "bake") << outcome;
            else EXPECT_EQ(outcome, "import");
        }
    }
    EXPECT_GE(files, 20);
}
