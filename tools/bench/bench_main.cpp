#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

#include "bench.h"

namespace KelvorBench {

namespace {

struct Section {
    std::string description;
    SectionFunction run;
};

std::map<std::string, Section>& Sections() {
    static std::map<std::string, Section> sections;
    return sections;
}

}  // namespace

int RegisterSection(const char* name, const char* description, SectionFunction run) {
    Sections()[name] = Section{description, std::move(run)};
    return 0;
}

double ProcessStatusMiB(const char* field) {
    std::ifstream status("/proc/self/status");
    const std::string key = std::string(field) + ":";
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0) return std::stod(line.substr(key.size())) / 1024.0;
    return 0.0;
}

double NowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace KelvorBench

int main(int argc, char** argv) {
    auto& sections = KelvorBench::Sections();
    if (argc > 1 && std::strcmp(argv[1], "--list") == 0) {
        for (const auto& [name, section] : sections) std::printf("%-12s %s\n", name.c_str(), section.description.c_str());
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        if (!sections.count(argv[i])) {
            std::fprintf(stderr, "unknown section \"%s\" (try --list)\n", argv[i]);
            return 1;
        }
    }
    for (const auto& [name, section] : sections) {
        bool wanted = argc == 1;
        for (int i = 1; i < argc; ++i) wanted = wanted || name == argv[i];
        if (!wanted) continue;
        std::printf("== %s: %s\n", name.c_str(), section.description.c_str());
        std::fflush(stdout);
        section.run();
        std::fflush(stdout);
    }
    return 0;
}
