#include "mayascripts.h"

namespace Pallix::Bake {

namespace {

// Python 2 module for Maya's OpenMaya API. It carries the per-corner normals and edge smoothing
// of an untriangulated mesh over to its triangulated copy, matching corners by the position of
// the triangle's centre and of the corner, and edges by their end points. Tabs indent; there are
// no double quotes or backslashes, so the MEL escaping stays simple.
const char* const kPythonPrelude = R"py(import maya.OpenMaya as OpenMaya

def KVDagNode(xform):
	selection = OpenMaya.MSelectionList()
	try:
		selection.add(xform)
	except:
		return None
	dagPath = OpenMaya.MDagPath()
	selection.getDagPath(0, dagPath)
	return dagPath

def KVGetTriangleKey(center, point):
	return str(center.x) + '_' + str(center.y) + '_' + str(center.z) + 'p' + str(point.x) + '_' + str(point.y) + '_' + str(point.z)

def KVGetEdgeKey(a, b):
	return 'a' + str(a.x) + '_' + str(a.y) + '_' + str(a.z) + 'b' + str(b.x) + '_' + str(b.y) + '_' + str(b.z)

def KVGetTriangleDictionary(obj):
	dictionary = {}
	dagPath = KVDagNode(obj)
	mesh = OpenMaya.MFnMesh(dagPath)
	edgeIter = OpenMaya.MItMeshEdge(dagPath)
	while not edgeIter.isDone():
		a = edgeIter.point(0, OpenMaya.MSpace.kObject)
		b = edgeIter.point(1, OpenMaya.MSpace.kObject)
		smooth = edgeIter.isSmooth()
		dictionary[KVGetEdgeKey(a, b)] = smooth
		dictionary[KVGetEdgeKey(b, a)] = smooth
		edgeIter.next()
	polyIter = OpenMaya.MItMeshPolygon(dagPath)
	points = OpenMaya.MPointArray()
	vertices = OpenMaya.MIntArray()
	while not polyIter.isDone():
		polyIndex = polyIter.index()
		countUtil = OpenMaya.MScriptUtil()
		countUtil.createFromInt(0)
		countPtr = countUtil.asIntPtr()
		polyIter.numTriangles(countPtr)
		for t in range(OpenMaya.MScriptUtil.getInt(countPtr)):
			polyIter.getTriangle(t, points, vertices, OpenMaya.MSpace.kObject)
			center = OpenMaya.MPoint((points[0].x + points[1].x + points[2].x) / 3.0, (points[0].y + points[1].y + points[2].y) / 3.0, (points[0].z + points[1].z + points[2].z) / 3.0)
			for k in range(3):
				normal = OpenMaya.MVector()
				mesh.getFaceVertexNormal(polyIndex, vertices[k], normal, OpenMaya.MSpace.kObject)
				dictionary[KVGetTriangleKey(center, points[k])] = normal
		polyIter.next()
	return dictionary

def KVCopyMeshNormalsByTriangle(target, source):
	print 'Getting triangle diectionary'
	dictionary = KVGetTriangleDictionary(source)
	dagPath = KVDagNode(target)
	mesh = OpenMaya.MFnMesh(dagPath)
	normals = OpenMaya.MVectorArray()
	faces = OpenMaya.MIntArray()
	faceVertices = OpenMaya.MIntArray()
	polyIter = OpenMaya.MItMeshPolygon(dagPath)
	points = OpenMaya.MPointArray()
	vertices = OpenMaya.MIntArray()
	while not polyIter.isDone():
		polyIndex = polyIter.index()
		countUtil = OpenMaya.MScriptUtil()
		countUtil.createFromInt(0)
		countPtr = countUtil.asIntPtr()
		polyIter.numTriangles(countPtr)
		for t in range(OpenMaya.MScriptUtil.getInt(countPtr)):
			polyIter.getTriangle(t, points, vertices, OpenMaya.MSpace.kObject)
			center = OpenMaya.MPoint((points[0].x + points[1].x + points[2].x) / 3.0, (points[0].y + points[1].y + points[2].y) / 3.0, (points[0].z + points[1].z + points[2].z) / 3.0)
			for k in range(3):
				key = KVGetTriangleKey(center, points[k])
				if key in dictionary:
					normals.append(dictionary[key])
					faces.append(polyIndex)
					faceVertices.append(vertices[k])
				else:
					print 'Error remapping vert'
		polyIter.next()
	mesh.setFaceVertexNormals(normals, faces, faceVertices, OpenMaya.MSpace.kObject)
	edgeIter = OpenMaya.MItMeshEdge(dagPath)
	while not edgeIter.isDone():
		a = edgeIter.point(0, OpenMaya.MSpace.kObject)
		b = edgeIter.point(1, OpenMaya.MSpace.kObject)
		key = KVGetEdgeKey(a, b)
		if key in dictionary:
			mesh.setEdgeSmoothing(edgeIter.index(), dictionary[key])
		else:
			mesh.setEdgeSmoothing(edgeIter.index(), True)
		edgeIter.next()
	mesh.cleanupEdgeSmoothing()
	mesh.updateSurface()

def KVGetSelection(index):
	selection = OpenMaya.MSelectionList()
	OpenMaya.MGlobal.getActiveSelectionList(selection)
	dagPath = OpenMaya.MDagPath()
	selection.getDagPath(index, dagPath)
	return dagPath.fullPathName()

#KVCopyMeshNormalsByTriangle(KVGetSelection(0), KVGetSelection(1))
print 'kvpy version 1.2.8'
)py";

// Asks for the target file; remembers its folder in a MEL global for the next export.
const char* const kFileDialogBlock =
    "global string $kvlastfiledir;\n"
    "if (size($kvlastfiledir) == 0) { $kvlastfiledir = `workspace -q -rd`; }\n"
    "string $fileName[] = `fileDialog2 -fileFilter \"*.fbx\" -dir $kvlastfiledir -fileMode 0 -dialogStyle 2`;\n"
    "$kvlastfiledir = \"\";\n"
    "if (size($fileName) > 0) {\n"
    "$kvlastfiledir = dirname( $fileName[0] );\n";

// Exports triangulated copies of the selected meshes together with untriangulated copies that
// keep the artist's normals, each tagged with its object's name and its import view.
const char* const kExportLockedMeshProc =
    "proc KVExportLockedMesh(string $pathName) {\n"
    "string $selobj[] = `ls -sl`;\n"
    "string $meshDescendents[] = `listRelatives -ad -f -type  mesh $selobj`;\n"
    "string $allObjs[] = stringArrayRemoveDuplicates( `listRelatives -p -f $meshDescendents` );\n"
    "if (size($allObjs) > 0) {\n"
    "string $dupes[];\n"
    "for($x=0; $x<size($allObjs); $x++) {\n"
    "string $dupe[] = `duplicate -rr $allObjs[$x]`;\n"
    "string $dupeRaw[] = `duplicate -rr $allObjs[$x]`;\n"
    "delete -ch $dupe[0];\n"
    "delete -ch $dupeRaw[0];\n"
    "polyTriangulate -ch 0 $dupe[0];\n"
    "python (\"KVCopyMeshNormalsByTriangle('\" + $dupe[0] + \"','\" + $dupeRaw[0] + \"')\");\n"
    "delete -ch $dupe[0];\n"
    "delete -ch $dupeRaw[0];\n"
    "addAttr -ln \"kelvorname\" -dt \"string\" $dupe[0];\n"
    "setAttr -type \"string\" ($dupe[0] + \".kelvorname\") `ls -sn $allObjs[$x]`;\n"
    "addAttr -ln \"kelvorname\" -dt \"string\" $dupeRaw[0];\n"
    "setAttr -type \"string\" ($dupeRaw[0] + \".kelvorname\") `ls -sn $allObjs[$x]`;\n"
    "addAttr -ln \"kelvorfilter\" -dt \"string\" $dupe[0];\n"
    "setAttr -type \"string\" ($dupe[0] + \".kelvorfilter\") \"mayaview\";\n"
    "addAttr -ln \"kelvorfilter\" -dt \"string\" $dupeRaw[0];\n"
    "setAttr -type \"string\" ($dupeRaw[0] + \".kelvorfilter\") \"gameview\";\n"
    "$dupes[size($dupes)] = $dupe[0];\n"
    "$dupes[size($dupes)] = $dupeRaw[0];\n"
    "}\n"
    "select -cl;\n"
    "select $dupes;\n"
    "FBXExport -f $pathName -s;\n"
    "delete $dupes;\n"
    "select -cl;\n"
    "select $selobj;\n"
    "}\n"
    "}\n";

// Objects shown with smooth preview are exported as their smoothed, triangulated geometry.
const char* const kSmoothPreviewBlock =
    "string $scrubbedobj[];\n"
    "for($x=0; $x < size($allObjs); $x++) {\n"
    "string $meshNode[] = `listRelatives -s -f $allObjs[$x]`;\n"
    "int $smoothness[] = `displaySmoothness -q -po $meshNode[0]`;\n"
    "if ($smoothness[0] > 1) {\n"
    "string $dupe[] = `duplicate -rr $allObjs[$x]`;\n"
    "select -cl;\n"
    "select $dupe[0];\n"
    "CreatePolyFromPreview;\n"
    "delete -ch $dupe[0];\n"
    "polyTriangulate $dupe[0];\n"
    "addAttr -ln \"kelvorname\" -dt \"string\" $dupe[0];\n"
    "setAttr -type \"string\" ($dupe[0] + \".kelvorname\") `ls -sn $allObjs[$x]`;\n"
    "$scrubbedobj[size($scrubbedobj)] = $dupe[0];\n"
    "$dupes[size($dupes)] = $dupe[0];\n"
    "} else {\n"
    "$scrubbedobj[size($scrubbedobj)] = $allObjs[$x];\n"
    "} // if\n"
    "} // for\n"
    "$allObjs = $scrubbedobj;\n";

const char* const kSelectionCache = "string $selcache[] = `ls -sl`;\n";
const char* const kRestoreSelection = "select -cl; select $selcache;\n";
const char* const kCloseProc = "}\n}\n";
const char* const kCallLine = "KVExport();\n";
const char* const kDeclareHint =
    "print(\"KVExportLow,KVExportEnv,KVExportHigh added.  Specify path to export, eg "
    "KVExportLow(\\\"my.fbx\\\");\");\n";

// Header, file dialog in the dialog form, and the selection cache.
void PrintProcOpening(std::string& out, const char* name, bool withPath) {
    PrintProcHeader(out, name, withPath);
    if (!withPath) out += kFileDialogBlock;
    out += kSelectionCache;
}

}  // namespace

const std::string& PythonPreludeSource() {
    static const std::string source = kPythonPrelude;
    return source;
}

std::string EscapeForMelString(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (const char c : text) {
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\'': out += "\\'"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default: out += c;
        }
    }
    return out;
}

void PrintPythonPrelude(std::string& out) {
    out += "python \"";
    out += EscapeForMelString(PythonPreludeSource());
    out += "\";\n";
}

void PrintProcHeader(std::string& out, const char* name, bool withPath) {
    out += "proc ";
    out += name;
    if (withPath) {
        out += "(string $filepath) {\n";
        out += "string $fileName[];\n";
        out += "$fileName[0] = $filepath;\n";
        out += "if (size($fileName) > 0) {\n";
    } else {
        out += "() {\n";
    }
    out += "loadPlugin -qt \"fbxmaya\";\n";
}

void PrintFbxExportOptions(std::string& out, bool triangulate, bool tangents) {
    const struct {
        const char* name;
        bool value;
    } options[] = {
        {"FBXExportColladaTriangulate", false}, {"FBXExportTriangulate", triangulate},
        {"FBXExportInAscii", false},            {"FBXExportInstances", false},
        {"FBXExportSmoothingGroups", true},     {"FBXExportTangents", tangents},
        {"FBXExportSmoothMesh", false},         {"FBXExportShapes", false},
        {"FBXExportLights", false},             {"FBXExportAnimationOnly", false},
        {"FBXExportSkins", false},
    };
    for (const auto& option : options) {
        out += option.name;
        out += " -v";
        out += option.value ? " true;\n" : " false;\n";
    }
}

void PrintLowPolyExportProc(std::string& out, const char* name, bool withPath) {
    out += kExportLockedMeshProc;
    PrintProcOpening(out, name, withPath);
    PrintFbxExportOptions(out, false, true);
    out += "KVExportLockedMesh( ";
    out += "$fileName[0]";
    out += " );";
    out += kRestoreSelection;
    out += kCloseProc;
}

void PrintEnvelopeExportProc(std::string& out, const char* name, bool withPath) {
    PrintProcOpening(out, name, withPath);
    PrintFbxExportOptions(out, true, false);
    out += "FBXExport -f ";
    out += "$fileName[0]";
    out += " -s;\n";
    out += kRestoreSelection;
    out += kCloseProc;
}

void PrintHighPolyExportProc(std::string& out, const char* name, bool withPath) {
    PrintProcOpening(out, name, withPath);
    out += "string $meshDescendents[] = `listRelatives -ad -f -type mesh $selcache`;\n";
    out += "string $allObjs[] = stringArrayRemoveDuplicates( `listRelatives -p -f $meshDescendents` );\n";
    out += "string $dupes[];\n";
    out += kSmoothPreviewBlock;
    PrintFbxExportOptions(out, true, false);
    out += "select -cl;\nselect $allObjs;\n";
    out += "FBXExport -f ";
    out += "$fileName[0]";
    out += " -s;\n";
    out += "if (size($dupes) > 0) {\ndelete $dupes;\n}\n";
    out += kRestoreSelection;
    out += kCloseProc;
}

bool MayaScriptForMode(const std::string& argument, std::string& out) {
    if (argument == "-lowpolymaya" || argument == "-lowpoly" || argument == "-lowpolyboth") {
        PrintPythonPrelude(out);
        PrintLowPolyExportProc(out, "KVExport", false);
        out += kCallLine;
    } else if (argument == "-envelope") {
        PrintPythonPrelude(out);
        PrintEnvelopeExportProc(out, "KVExport", false);
        out += kCallLine;
    } else if (argument == "-highpoly") {
        PrintHighPolyExportProc(out, "KVExport", false);
        out += kCallLine;
    } else if (argument == "-python") {
        PrintPythonPrelude(out);
    } else if (argument == "-declaremel") {
        PrintPythonPrelude(out);
        PrintLowPolyExportProc(out, "KVExportLow", true);
        PrintEnvelopeExportProc(out, "KVExportEnv", true);
        PrintHighPolyExportProc(out, "KVExportHigh", true);
        out += kDeclareHint;
    } else {
        return false;
    }
    return true;
}

}  // namespace Pallix::Bake
