#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "mayascripts.h"

using namespace Pallix::Bake;

namespace {

std::string Script(const std::string& mode) {
    std::string out;
    EXPECT_TRUE(MayaScriptForMode(mode, out)) << mode;
    return out;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// The inverse of the MEL string escaping, to read the prelude back.
std::string UnescapeMel(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
    }
    return out;
}

}  // namespace

TEST(MayaScripts, ModesAreExactAndCaseSensitive) {
    std::string out;
    for (const char* notAMode : {"-LOWPOLY", "lowpoly", "-python3", "--python", "", "-h"}) {
        EXPECT_FALSE(MayaScriptForMode(notAMode, out)) << notAMode;
    }
    EXPECT_EQ(out, "");
    const std::string low = Script("-lowpoly");
    EXPECT_EQ(Script("-lowpolymaya"), low);
    EXPECT_EQ(Script("-lowpolyboth"), low);
}

TEST(MayaScripts, PythonPreludeIsOneMelLineHoldingTheModule) {
    const std::string line = Script("-python");
    ASSERT_EQ(Count(line, "\n"), 1u);
    ASSERT_EQ(line.rfind("python \"", 0), 0u);
    ASSERT_EQ(line.substr(line.size() - 3), "\";\n");
    const std::string body = line.substr(8, line.size() - 11);
    // Every double quote inside the MEL string is escaped, so the string does not end early.
    for (size_t at = body.find('"'); at != std::string::npos; at = body.find('"', at + 1))
        EXPECT_EQ(body[at - 1], '\\') << at;
    EXPECT_EQ(body.find('\t'), std::string::npos);
    EXPECT_EQ(UnescapeMel(body), PythonPreludeSource());

    const std::string& source = PythonPreludeSource();
    EXPECT_EQ(source.rfind("import maya.OpenMaya as OpenMaya\n", 0), 0u);
    size_t last = 0;
    for (const char* name : {"KVDagNode(xform)", "KVGetTriangleKey(center, point)", "KVGetEdgeKey(a, b)",
                             "KVGetTriangleDictionary(obj)", "KVCopyMeshNormalsByTriangle(target, source)",
                             "KVGetSelection(index)"}) {
        const size_t at = source.find(std::string("\ndef ") + name + ":\n");
        ASSERT_NE(at, std::string::npos) << name;
        EXPECT_GT(at, last) << name;
        last = at;
    }
    EXPECT_NE(source.find("print 'Getting triangle diectionary'"), std::string::npos);
    EXPECT_NE(source.find("print 'Error remapping vert'"), std::string::npos);
    EXPECT_EQ(source.substr(source.size() - 27), "print 'kvpy version 1.2.8'\n");
    EXPECT_EQ(EscapeForMelString("a'b\"c\\d\te\nf"), "a\\'b\\\"c\\\\d\\te\\nf");
}

TEST(MayaScripts, LowPolyModeExportsLockedNormalsThroughTheDialog) {
    const std::string low = Script("-lowpoly");
    const std::string prelude = Script("-python");
    ASSERT_EQ(low.rfind(prelude, 0), 0u);
    const std::string rest = low.substr(prelude.size());
    ASSERT_EQ(rest.rfind("proc KVExportLockedMesh(string $pathName) {\n", 0), 0u);
    const size_t exportProc = rest.find("proc KVExport() {\n");
    ASSERT_NE(exportProc, std::string::npos);
    EXPECT_EQ(Count(rest.substr(0, exportProc), "\n"), 34u);
    EXPECT_NE(rest.find("python (\"KVCopyMeshNormalsByTriangle('\" + $dupe[0] + \"','\" + $dupeRaw[0] + \"')\");\n"),
              std::string::npos);
    EXPECT_NE(rest.find("proc KVExport() {\nloadPlugin -qt \"fbxmaya\";\nglobal string $kvlastfiledir;\n"),
              std::string::npos);
    EXPECT_NE(rest.find("FBXExportTriangulate -v false;\n"), std::string::npos);
    EXPECT_NE(rest.find("FBXExportTangents -v true;\n"), std::string::npos);
    const std::string tail = "KVExportLockedMesh( $fileName[0] );select -cl; select $selcache;\n}\n}\nKVExport();\n";
    EXPECT_EQ(rest.substr(rest.size() - tail.size()), tail);
}

TEST(MayaScripts, DeclareMelDefinesThreePathProcsAndEndsWithTheHint) {
    const std::string mel = Script("-declaremel");
    EXPECT_EQ(mel.rfind(Script("-python"), 0), 0u);
    EXPECT_EQ(mel.find("fileDialog2"), std::string::npos);
    const size_t low = mel.find("proc KVExportLow(string $filepath) {\n");
    const size_t env = mel.find("proc KVExportEnv(string $filepath) {\n");
    const size_t high = mel.find("proc KVExportHigh(string $filepath) {\n");
    ASSERT_NE(low, std::string::npos);
    EXPECT_LT(low, env);
    EXPECT_LT(env, high);
    EXPECT_LT(mel.find("proc KVExportLockedMesh("), low);
    EXPECT_EQ(Count(mel, "if (size($fileName) > 0) {\n"), 3u);
    const std::string hint =
        "print(\"KVExportLow,KVExportEnv,KVExportHigh added.  Specify path to export, eg "
        "KVExportLow(\\\"my.fbx\\\");\");\n";
    EXPECT_EQ(mel.substr(mel.size() - hint.size()), hint);
}

TEST(MayaScripts, EveryScriptHasBalancedBracesAndElevenOptionLinesPerExport) {
    for (const char* mode : {"-lowpoly", "-envelope", "-highpoly", "-python", "-declaremel"}) {
        const std::string script = Script(mode);
        EXPECT_EQ(std::count(script.begin(), script.end(), '{'), std::count(script.begin(), script.end(), '}'))
            << mode;
        const size_t exports = Count(script, "FBXExport -f ");
        // The low-poly proc exports through KVExportLockedMesh, which holds the FBXExport line.
        EXPECT_EQ(Count(script, " -v true;\n") + Count(script, " -v false;\n"), exports * 11) << mode;
    }
}
