#pragma once

#include <string>

namespace Pallix::Bake {

// The Maya scripts that KelvorCmd prints in its single-argument modes. Each printer appends
// its MEL text to out.
void PrintPythonPrelude(std::string& out);
void PrintProcHeader(std::string& out, const char* name, bool withPath);
void PrintFbxExportOptions(std::string& out, bool triangulate, bool tangents);
void PrintLowPolyExportProc(std::string& out, const char* name, bool withPath);
void PrintEnvelopeExportProc(std::string& out, const char* name, bool withPath);
void PrintHighPolyExportProc(std::string& out, const char* name, bool withPath);

// The Python module of the prelude as Python source, and escaped for a MEL string.
const std::string& PythonPreludeSource();
std::string EscapeForMelString(const std::string& text);

// When argument names a script mode ("-lowpoly", "-python", ...; case-sensitive), puts the
// script into out and returns true.
bool MayaScriptForMode(const std::string& argument, std::string& out);

}  // namespace Pallix::Bake
