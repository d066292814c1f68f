#include <tclap/ArgException.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "commandoptions.h"
#include "mayascripts.h"
#include "pallixbake.h"
#include "settingsstore.h"

using namespace Pallix::Bake;

namespace {

// Bakes the one job the options describe; returns the exit status.
int Run(const CommandOptions& options) {
    SettingsStore store;
    InitWinsock();
    int status = 0;
    {
        EventReporter reporter(GetInstallationId(store).toUtf8().toStdString());
        reporter.ReportBoot(kKelvorVersion);

        CpuFeatures cpu;
        TraceGridSettings grid;
        if (!ChooseTraceKernel(cpu, &grid, SimdCode(options.simd), PrecisionCode(options.precision))) {
            status = 1;
        } else {
            ApplyGridOptions(options, grid);
            const int threads = WorkerCount();
            BakeManager manager(&reporter, &grid);
            manager.SetThreadCount(threads);
            manager.ClearDirectMode();

            BakeJob job;
            FillBakeJob(options, job);
            if (job.maps[0].type != MapNone) {
                std::vector<BakeJob*> jobs{&job};
                // The summary follows a bake, failed or not (the engine has reported its error),
                // but not an exception that ended the run before or outside it.
                try {
                    manager.Init(threads, 1024, 1024);
                    manager.Bake(&jobs);
                    if (manager.HasFailed()) status = 1;
                    const BakeTimes& t = job.times;
                    std::printf("Done bake (total %f s) (load %f s) (trace %f s) (processing %f s) (export %f s)\n",
                                job.ElapsedSeconds(), t.meshPrepTime + t.highPolyLoadTime + t.lowPolyLoadTime,
                                t.traceTime, t.resolveTime + t.processingTime, t.exportTime);
                } catch (const BakeException& e) {
                    std::cerr << "Bake Exception:" << e.what() << std::endl;
                    status = 1;
                } catch (const std::exception& e) {
                    std::cerr << "Bake Exception:" << e.what() << std::endl;
                    status = 1;
                }
            } else {
                std::printf("No bake type specified\n");
            }
        }
    }
    CleanupWinsock();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // Redirected output would otherwise reach its file only at exit: a run that is killed or
    // times out would leave an empty log instead of showing how far it got.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    InstallOutputFileCleanup();
    if (argc == 2) {
        std::string script;
        if (MayaScriptForMode(argv[1], script)) {
            std::fwrite(script.data(), 1, script.size(), stdout);
            return 0;
        }
    }
    try {
        // Parse errors, help and version end the process inside the parser, before the
        // settings store is opened.
        const CommandOptions options = ParseCommandLine(argc, argv);
        const std::string gridError = CheckGridOptions(options);
        if (!gridError.empty()) {
            std::cerr << gridError << std::endl;
            return 1;
        }
        return Run(options);
    } catch (const TCLAP::ArgException& e) {
        std::cerr << "error: " << e.error() << " for arg " << e.argId() << std::endl;
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "error: " << e.what() << std::endl;
        return 1;
    }
}
