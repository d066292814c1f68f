#pragma once

#include <functional>
#include <string>

namespace Pallix::Bake {

// Builds the anonymous usage events as flat JSON objects and hands each to its sender. It is
// constructed disabled and neither program enables it, so every event is built and dropped.
class EventReporter {
public:
    // Delivers one complete event text; by default a POST to the log collector.
    using Sender = std::function<void(const std::string& eventText)>;

    explicit EventReporter(std::string nodeId);

    void ReportBoot(const std::string& version);
    void ReportInit(int threads, int tileWidth, int tileHeight);
    void ReportOpenGLInfo(const std::string& version, const std::string& vendor, const std::string& renderer);
    // The interactive program's window is going away.
    void ReportShutdown();
    // The interactive program's per-map events. The two "bake" forms draw the map's bake id
    // from rand(), held to 0..32767 whatever the C library's range, and return it.
    int ReportAOBake(int width, int height, int sampling, int rays);
    int ReportClownBake(int width, int height);
    void ReportSceneStats(int bakeId, int traceTris, int cageTris, int lowresTris, int traceHighwater, int cellCount,
                          float cellUsage, int cellAvg);
    void ReportBakeEnd(int bakeId, double total, double load, double geoconvert, double trace, double processing,
                       double gpucopy, double exportTime);
    void ReportCancelBake();

    // Completes a member list (which ends with a comma) with the node id and delivers it while enabled.
    void Send(const std::string& members) const;

    // Set these before the reporter is shared between threads.
    void SetEnabled(bool on) { enabled = on; }
    bool IsEnabled() const { return enabled; }
    void SetSender(Sender replacement) { sender = std::move(replacement); }

    // Member forms. Keys and string values are escaped for JSON; a non-finite double is written as 0.
    static std::string JsonString(const std::string& key, const std::string& value, bool comma);
    static std::string JsonInt(const std::string& key, int value, bool comma);
    static std::string JsonDouble(const std::string& key, double value, bool comma);
    static std::string JsonRaw(const std::string& key, const std::string& object);
    static std::string JsonObject(const std::string& members);
    static std::string JsonEscape(const std::string& text);

private:
    std::string nodeId;
    bool enabled = false;
    Sender sender;
};

}  // namespace Pallix::Bake
