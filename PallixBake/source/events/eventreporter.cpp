#include "events/eventreporter.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "events/postjson.h"

namespace Pallix::Bake {

namespace {

std::string Key(const std::string& key) {
    std::string text(1, '"');
    text += EventReporter::JsonEscape(key);
    text += "\":";
    return text;
}

const char* Comma(bool comma) { return comma ? "," : ""; }

std::string BakeIdText(int bakeId) { return std::to_string(long(bakeId)); }

// The members every "bake" event starts with.
std::string BakeMembers(const char* bakeType, int bakeId) {
    return EventReporter::JsonString("category", "user", true) + EventReporter::JsonString("eventtype", "bake", true) +
           EventReporter::JsonString("baketype", bakeType, true) +
           EventReporter::JsonString("bakeid", BakeIdText(bakeId), true);
}

}  // namespace

EventReporter::EventReporter(std::string id)
    : nodeId(std::move(id)), sender([](const std::string& text) { PostJson(kLogCollectorUrl, text.c_str()); }) {}

std::string EventReporter::JsonEscape(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (byte < 0x20) {
                out += "\\u00";
                out += hex[byte >> 4];
                out += hex[byte & 0xf];
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string EventReporter::JsonString(const std::string& key, const std::string& value, bool comma) {
    std::string text = Key(key);
    text += '"';
    text += JsonEscape(value);
    text += '"';
    return text + Comma(comma);
}

std::string EventReporter::JsonInt(const std::string& key, int value, bool comma) {
    return Key(key) + std::to_string(value) + Comma(comma);
}

std::string EventReporter::JsonDouble(const std::string& key, double value, bool comma) {
    // Six decimals and a full stop whatever the process locale; JSON has no NaN or infinity.
    if (!std::isfinite(value)) value = 0.0;
    char text[400];
    const auto result = std::to_chars(text, text + sizeof(text), value, std::chars_format::fixed, 6);
    return Key(key) + std::string(text, result.ptr) + Comma(comma);
}

std::string EventReporter::JsonRaw(const std::string& key, const std::string& object) {
    return Key(key) + object + ",";
}

std::string EventReporter::JsonObject(const std::string& members) {
    std::string text(1, '{');
    text += members;
    text += '}';
    return text;
}

void EventReporter::ReportBoot(const std::string& version) {
    Send(JsonString("category", "system", true) + JsonString("eventtype", "boot", true) +
         JsonString("version", version, true) + JsonString("platform", "win64", true));
}

void EventReporter::ReportInit(int threads, int tileWidth, int tileHeight) {
    const std::string parameters =
        JsonObject(JsonInt("threads", threads, true) + JsonInt("tilex", tileWidth, true) +
                   JsonInt("tiley", tileHeight, false));
    Send(JsonString("category", "system", true) + JsonString("eventtype", "init", true) +
         JsonRaw("initparameters", parameters));
}

void EventReporter::ReportOpenGLInfo(const std::string& version, const std::string& vendor,
                                     const std::string& renderer) {
    const std::string opengl = JsonObject(JsonString("version", version, true) +
                                          JsonString("vendor", vendor, true) +
                                          JsonString("renderer", renderer, false));
    Send(JsonString("category", "system", true) + JsonString("eventtype", "info", true) +
         JsonRaw("opengl", opengl));
}

void EventReporter::ReportShutdown() {
    Send(JsonString("category", "system", true) + JsonString("eventtype", "shutdown", true));
}

int EventReporter::ReportAOBake(int width, int height, int sampling, int rays) {
    const int bakeId = std::rand() & 0x7FFF;
    const std::string parameters = JsonObject(JsonInt("width", width, true) + JsonInt("height", height, true) +
                                              JsonInt("sampling", sampling, true) + JsonInt("rays", rays, false));
    Send(BakeMembers("ao", bakeId) + JsonRaw("bakeparameters", parameters));
    return bakeId;
}

int EventReporter::ReportClownBake(int width, int height) {
    const int bakeId = std::rand() & 0x7FFF;
    const std::string parameters = JsonObject(JsonInt("width", width, true) + JsonInt("height", height, false));
    Send(BakeMembers("clown", bakeId) + JsonRaw("bakeparameters", parameters));
    return bakeId;
}

void EventReporter::ReportSceneStats(int bakeId, int traceTris, int cageTris, int lowresTris, int traceHighwater,
                                     int cellCount, float cellUsage, int cellAvg) {
    const std::string stats =
        JsonObject(JsonInt("tracetris", traceTris, true) + JsonInt("cagetris", cageTris, true) +
                   JsonInt("lowrestris", lowresTris, true) + JsonInt("tracehighwater", traceHighwater, true) +
                   JsonInt("cellcount", cellCount, true) + JsonInt("cellavg", cellAvg, true) +
                   JsonDouble("cellusage", double(cellUsage), false));
    Send(JsonRaw("scenestats", stats) + JsonString("bakeid", BakeIdText(bakeId), true));
}

void EventReporter::ReportBakeEnd(int bakeId, double total, double load, double geoconvert, double trace,
                                  double processing, double gpucopy, double exportTime) {
    const std::string times =
        JsonObject(JsonDouble("load", load, true) + JsonDouble("trace", trace, true) +
                   JsonDouble("geoconvert", geoconvert, true) + JsonDouble("gpucopy", gpucopy, true) +
                   JsonDouble("processing", processing, true) + JsonDouble("export", exportTime, true) +
                   JsonDouble("total", total, false));
    Send(JsonString("category", "user", true) + JsonString("eventtype", "bake_end", true) +
         JsonString("bakeid", BakeIdText(bakeId), true) + JsonRaw("baketime", times));
}

void EventReporter::ReportCancelBake() {
    Send(JsonString("category", "user", true) + JsonString("eventtype", "cancel_bake", true));
}

void EventReporter::Send(const std::string& members) const {
    if (!enabled || !sender) return;
    sender(JsonObject(members + JsonString("nodeid", nodeId, false)));
}

}  // namespace Pallix::Bake
