#pragma once

#include <string>

#include "pallixbake.h"

namespace Pallix::Bake {

// The program's version, shown by the parser and sent with the "boot" event.
extern const char* const kKelvorVersion;

// KelvorCmd's options as parsed; each field starts at its option's default.
struct CommandOptions {
    std::string low;
    std::string env;
    bool envGiven = false;
    std::string high;
    bool highGiven = false;
    std::string path;
    bool explicitPath = false;
    std::string yup = "+";
    float spread = 160.0f;
    float distance = 0.0f;
    float aoDistance = 0.0f;
    bool layers = false;
    std::string direction = "geonormals";
    std::string search = "furthest";  // parsed, no effect
    std::string quality = "medium";   // parsed, no effect
    std::string simd = "default";
    std::string precision = "default";
    int sampling = 1;
    int dilation = 0;
    int width = 1024;
    int height = 1024;
    int threshold = 20;
    float density = 0.75f;
    float densityPower = 0.33333334f;
    int maxCells = 131072;
    float targetMin = 64.0f;
    float targetMax = 512.0f;
    int blur = 0;
    std::string bake = "none";
    std::string engine = "fbx";
    std::string format = "tiff16";
    std::string tileNaming = "udim";
    std::string tilingMode = "off";
    int tileMinU = 1;
    int tileMaxU = 1;
    int tileMinV = 1;
    int tileMaxV = 1;
};

// Parses the command line with the option table. With handleErrors the parser prints its own
// message and usage for a bad value, and for help and version, and ends the process with its
// status (1 after an error); without it, TCLAP's exceptions reach the caller.
CommandOptions ParseCommandLine(int argc, const char* const* argv, bool handleErrors = true);

// Keyword codes of the option values.
int MapTypeCode(const std::string& bake);
int TangentSpaceCode(const std::string& engine);
int OutputFormatCode(const std::string& format);
int DirectionCode(const std::string& direction);
int TileNamingCode(const std::string& naming);
int TilingModeCode(const std::string& mode);
int SimdCode(const std::string& simd);
int PrecisionCode(const std::string& precision);

// Adds one map to the job and fills job and map from the options.
void FillBakeJob(const CommandOptions& options, BakeJob& job);

// The grid tuning values must be positive and targetmin must not exceed targetmax: the grid
// build divides by them. Returns the message for the first bad value, or an empty text.
std::string CheckGridOptions(const CommandOptions& options);
void ApplyGridOptions(const CommandOptions& options, TraceGridSettings& grid);

// Hardware threads of this machine, at least 1.
int WorkerCount();

}  // namespace Pallix::Bake
