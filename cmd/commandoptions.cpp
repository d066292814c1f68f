#include "commandoptions.h"

#include <tclap/CmdLine.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

namespace Pallix::Bake {

const char* const kKelvorVersion = "1.5.0";

namespace {

using Codes = std::initializer_list<std::pair<const char*, int>>;

// The parser has already rejected values outside the table; anything else maps to fallback.
int Lookup(const std::string& value, Codes codes, int fallback) {
    for (const auto& [name, code] : codes)
        if (value == name) return code;
    return fallback;
}

// The closed range that an option's description states. The usage keeps the option's own type
// text; the parser's error quotes the range.
template <typename T>
class RangeConstraint : public TCLAP::Constraint<T> {
public:
    RangeConstraint(T low, T high, std::string range, std::string typeText)
        : low(low), high(high), range(std::move(range)), typeText(std::move(typeText)) {}
    std::string description() const override { return range; }
    std::string shortID() const override { return typeText; }
    bool check(const T& value) const override { return value >= low && value <= high; }

private:
    T low, high;
    std::string range, typeText;
};

}  // namespace

CommandOptions ParseCommandLine(int argc, const char* const* argv, bool handleErrors) {
    using namespace TCLAP;
    CommandOptions o;
    // TCLAP remembers process-wide that an optional positional exists; this table is complete
    // in itself, so a second parse in the same process starts afresh.
    OptionalUnlabeledTracker::alreadyOptional() = false;
    CmdLine cmd("Kelvor", ' ', kKelvorVersion);
    cmd.setExceptionHandling(handleErrors);

    std::vector<std::string> directions{"geonormals", "surfacenormals", "roundednormals"};
    std::vector<std::string> searches{"furthest", "closest"};
    std::vector<std::string> qualities{"low", "medium", "high", "ultra"};
    std::vector<std::string> simds{"default", "scalar", "sse", "avx"};
    std::vector<std::string> precisions{"default", "single", "double"};
    std::vector<int> samplings{1, 2, 4, 8};
    std::vector<int> sizes{256, 512, 1024, 2048, 4096, 8192, 16384};
    std::vector<std::string> bakes{"normal",       "ao",           "clown",     "height",
                                   "displacement", "thickness",    "position",  "vertexcolors",
                                   "hardedgemask", "alphamask",    "none"};
    std::vector<std::string> engines{"fbx", "maya", "source", "unity", "unreal47", "mikk", "object"};
    std::vector<std::string> formats{"tiff16", "tiff8", "png16", "png8", "exr"};
    std::vector<std::string> namings{"udim", "mudbox"};
    std::vector<std::string> tilingModes{"off", "auto", "manual"};
    ValuesConstraint<std::string> directionValues(directions), searchValues(searches), qualityValues(qualities),
        simdValues(simds), precisionValues(precisions), bakeValues(bakes), engineValues(engines),
        formatValues(formats), namingValues(namings), tilingValues(tilingModes);
    ValuesConstraint<int> samplingValues(samplings), widthValues(sizes), heightValues(sizes);
    const std::string columnText = "Minimum is 0, Maximum is 9 for UDIM", rowText = "Minimum is 0";
    RangeConstraint<float> spreadRange(0.0f, 179.0f, "0 to 179", "float");
    RangeConstraint<int> blurRange(0, 8, "0 to 8", "int");
    RangeConstraint<int> columnRange(0, INT_MAX, columnText, columnText), rowRange(0, INT_MAX, rowText, rowText);

    ValueArg<std::string> low("", "low", "Low Poly Target Mesh", false, o.low, "string", cmd);
    ValueArg<std::string> env("", "env", "Envelope Mesh", false, o.env, "string", cmd);
    ValueArg<std::string> high("", "high", "High Poly Source Mesh", false, o.high, "string", cmd);
    ValueArg<std::string> path("p", "path", "Texture base path, map type will be added", false, o.path, "string",
                               cmd);
    SwitchArg explicitPath("", "explicitpath", "Path specified is an explicit file path", cmd, false);
    ValueArg<std::string> yup("y", "yup", "Y Up (+/-)", false, o.yup, "string", cmd);
    ValueArg<float> spread("", "spread", "AO Spread angle (0 to 179)", false, o.spread, &spreadRange, cmd);
    ValueArg<float> distance("d", "distance", "Maximum distance from surface to capture", false, o.distance,
                             "float", cmd);
    ValueArg<float> aoDistance("", "aodistance", "Maximum range for AO occlusders to be considered", false,
                               o.aoDistance, "float", cmd);
    SwitchArg layers("", "layers", "Enable shader layers", cmd, false);
    ValueArg<std::string> direction("", "direction", "Normal direction to use for the bake", false, o.direction,
                                    &directionValues, cmd);
    ValueArg<std::string> search("", "search", "Search method", false, o.search, &searchValues, cmd);
    ValueArg<std::string> quality("q", "quality", "AO Quality", false, o.quality, &qualityValues, cmd);
    ValueArg<std::string> simd("", "simd", "CPU Processing width, defualt is based on available hardware", false,
                               o.simd, &simdValues, cmd);
    ValueArg<std::string> precision("", "precision",
                                    "Precision of calculations, defualt is based on available hardware", false,
                                    o.precision, &precisionValues, cmd);
    ValueArg<int> sampling("s", "sampling", "Super sampling", false, o.sampling, &samplingValues, cmd);
    ValueArg<int> dilation("", "dilation", "Dilation post process radius", false, o.dilation, "integer", cmd);
    ValueArg<int> width("", "width", "Width of image: default 1024", false, o.width, &widthValues, cmd);
    ValueArg<int> height("", "height", "Height of image: default 1024", false, o.height, &heightValues, cmd);
    ValueArg<int> threshold("", "threshold", "hbv triangle threshold", false, o.threshold, "integer", cmd);
    ValueArg<float> density("", "density", "hbv density scale", false, o.density, "real", cmd);
    ValueArg<float> densityPower("", "dpower", "hbv density power", false, o.densityPower, "real", cmd);
    ValueArg<int> maxCells("", "maxcells", "hbv max root cells", false, o.maxCells, "integer", cmd);
    ValueArg<float> targetMin("", "targetmin", "hbv target minimum triangles per celll", false, o.targetMin, "real",
                              cmd);
    ValueArg<float> targetMax("", "targetmax", "hbv target maximum triangles per celll", false, o.targetMax, "real",
                              cmd);
    ValueArg<int> blur("b", "blur", "Blur radius (0 to 8)", false, o.blur, &blurRange, cmd);
    UnlabeledValueArg<std::string> bake("bake", "Bake Type", false, o.bake, &bakeValues, cmd);
    ValueArg<std::string> engine("e", "engine", "Target engine", false, o.engine, &engineValues, cmd);
    ValueArg<std::string> format("f", "format", "Output image format", false, o.format, &formatValues, cmd);
    ValueArg<std::string> tileNaming("", "tilenaming", "UV Tile Naming", false, o.tileNaming, &namingValues, cmd);
    ValueArg<std::string> tilingMode("", "tilingmode", "UV Tile Mode", false, o.tilingMode, &tilingValues, cmd);
    ValueArg<int> tileMinU("", "uvtile_min_u", "UV Tile Region Min U", false, o.tileMinU, &columnRange, cmd);
    ValueArg<int> tileMaxU("", "uvtile_max_u", "UV Tile Region Max U", false, o.tileMaxU, &columnRange, cmd);
    ValueArg<int> tileMinV("", "uvtile_min_v", "UV Tile Region Min V", false, o.tileMinV, &rowRange, cmd);
    ValueArg<int> tileMaxV("", "uvtile_max_v", "UV Tile Region Max V", false, o.tileMaxV, &rowRange, cmd);

    cmd.parse(argc, argv);
    // The UDIM bound depends on the naming option, so it is checked once every option is read,
    // and reported as the parser reports a value outside its constraint.
    for (const ValueArg<int>* column : {&tileMinU, &tileMaxU}) {
        if (tileNaming.getValue() != "udim" || column->getValue() <= 9) continue;
        CmdLineParseException error(
            "Value '" + std::to_string(column->getValue()) + "' does not meet constraint: " + columnText,
            column->toString());
        if (!handleErrors) throw error;
        try {
            cmd.getOutput()->failure(cmd, error);
        } catch (const ExitException& ended) {
            std::exit(ended.getExitStatus());
        }
    }

    o.low = low.getValue();
    o.env = env.getValue();
    o.envGiven = env.isSet();
    o.high = high.getValue();
    o.highGiven = high.isSet();
    o.path = path.getValue();
    o.explicitPath = explicitPath.getValue();
    o.yup = yup.getValue();
    o.spread = spread.getValue();
    o.distance = distance.getValue();
    o.aoDistance = aoDistance.getValue();
    o.layers = layers.getValue();
    o.direction = direction.getValue();
    o.search = search.getValue();
    o.quality = quality.getValue();
    o.simd = simd.getValue();
    o.precision = precision.getValue();
    o.sampling = sampling.getValue();
    o.dilation = dilation.getValue();
    o.width = width.getValue();
    o.height = height.getValue();
    o.threshold = threshold.getValue();
    o.density = density.getValue();
    o.densityPower = densityPower.getValue();
    o.maxCells = maxCells.getValue();
    o.targetMin = targetMin.getValue();
    o.targetMax = targetMax.getValue();
    o.blur = blur.getValue();
    o.bake = bake.getValue();
    o.engine = engine.getValue();
    o.format = format.getValue();
    o.tileNaming = tileNaming.getValue();
    o.tilingMode = tilingMode.getValue();
    o.tileMinU = tileMinU.getValue();
    o.tileMaxU = tileMaxU.getValue();
    o.tileMinV = tileMinV.getValue();
    o.tileMaxV = tileMaxV.getValue();
    return o;
}

int MapTypeCode(const std::string& bake) {
    return Lookup(bake,
                  {{"normal", MapNormal},
                   {"ao", MapAmbientOcclusion},
                   {"clown", MapMaterialId},
                   {"displacement", MapDisplacement},
                   {"vertexcolors", MapVertexColour},
                   {"thickness", MapThickness},
                   {"position", MapWorldPosition},
                   {"hardedgemask", MapHardEdgeMask},
                   {"alphamask", MapAlphaMask}},
                  MapNone);
}

int TangentSpaceCode(const std::string& engine) {
    return Lookup(engine,
                  {{"fbx", TangentFbx},
                   {"maya", TangentMaya},
                   {"mikk", TangentMikkt},
                   {"unreal47", TangentUe47},
                   {"unity", TangentUnity},
                   {"source", TangentSource},
                   {"object", TangentObject}},
                  TangentFbx);
}

int OutputFormatCode(const std::string& format) {
    return Lookup(format,
                  {{"tiff16", FormatTiff16},
                   {"tiff8", FormatTiff8},
                   {"png8", FormatPng8},
                   {"png16", FormatPng16},
                   {"exr", FormatExr}},
                  FormatTiff16);
}

int DirectionCode(const std::string& direction) {
    return Lookup(direction,
                  {{"surfacenormals", DirectionInterpolated},
                   {"geonormals", DirectionGeometric},
                   {"roundednormals", DirectionRounded}},
                  DirectionGeometric);
}

int TileNamingCode(const std::string& naming) {
    return Lookup(naming, {{"udim", TileNamingUdim}, {"mudbox", TileNamingMudbox}}, TileNamingUdim);
}

int TilingModeCode(const std::string& mode) {
    return Lookup(mode, {{"off", TilingOff}, {"auto", TilingAuto}, {"manual", TilingManual}}, TilingOff);
}

int SimdCode(const std::string& simd) {
    return Lookup(simd, {{"scalar", SimdScalar}, {"sse", SimdSse}, {"avx", SimdAvx}}, SimdAuto);
}

int PrecisionCode(const std::string& precision) {
    return Lookup(precision, {{"single", PrecisionSingle}, {"double", PrecisionDouble}}, PrecisionDefault);
}

void FillBakeJob(const CommandOptions& o, BakeJob& job) {
    MapSettings& map = job.AddMap();
    job.width = o.width;
    job.height = o.height;
    map.SetBlur(float(o.blur) * 0.5f);
    map.tangentSpace = TangentSpaceCode(o.engine);
    job.outputFormat = OutputFormatCode(o.format);
    map.type = MapTypeCode(o.bake);
    map.layers = o.layers;
    map.aoDistance = o.aoDistance;
    map.spread = float(double(o.spread) * 3.14159265358979323846 / 180.0);
    map.supersampling = o.sampling;
    map.yFlip = o.yup == "-";
    job.searchDistance = o.distance;
    job.dilation = o.dilation;
    job.normalDirection = DirectionCode(o.direction);
    job.tileNaming = TileNamingCode(o.tileNaming);
    job.tilingMode = TilingModeCode(o.tilingMode);
    job.tileMinU = o.tileMinU;
    job.tileMaxU = o.tileMaxU;
    job.tileMinV = o.tileMinV;
    job.tileMaxV = o.tileMaxV;
    job.outputPath = o.path;
    if (o.explicitPath) job.explicitPath = true;
    job.hasHighPoly = o.highGiven;
    if (o.highGiven) job.AddHighPolyPath(o.high.c_str());
    if (o.envGiven) job.SetEnvelopePath(o.env.c_str());
    job.lowPolyPath = o.low;
}

std::string CheckGridOptions(const CommandOptions& o) {
    const auto positive = [](const char* name, double value) -> std::string {
        if (value > 0.0) return {};  // also rejects NaN
        std::ostringstream text;
        text << "error: --" << name << " must be greater than 0 (got " << value << ")";
        return text.str();
    };
    for (const auto& [name, value] : {std::pair<const char*, double>{"threshold", o.threshold},
                                      {"density", o.density},
                                      {"dpower", o.densityPower},
                                      {"maxcells", o.maxCells},
                                      {"targetmin", o.targetMin},
                                      {"targetmax", o.targetMax}}) {
        std::string message = positive(name, value);
        if (!message.empty()) return message;
    }
    if (o.targetMin > o.targetMax) {
        std::ostringstream text;
        text << "error: --targetmin (" << o.targetMin << ") must not be greater than --targetmax (" << o.targetMax
             << ")";
        return text.str();
    }
    return {};
}

void ApplyGridOptions(const CommandOptions& o, TraceGridSettings& grid) {
    grid.threshold = o.threshold;
    grid.density = o.density;
    grid.densityPower = o.densityPower;
    grid.maxRootCells = o.maxCells;
    grid.targetMin = o.targetMin;
    grid.targetMax = o.targetMax;
}

int WorkerCount() { return std::max(1, int(std::thread::hardware_concurrency())); }

}  // namespace Pallix::Bake
