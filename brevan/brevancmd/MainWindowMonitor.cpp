#include "MainWindow.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <new>

#include "rendermapwidget.h"

namespace Pallix::Bake {

// The listener side runs on the bake thread and only stores what the timers read.

void MainWindow::OnBakeStart() {}

void MainWindow::OnJobStart(BakeJob* job) {
    const std::lock_guard<std::mutex> lockA(mutexA);
    resetImage = true;
    resetWidth = job ? job->width : 0;
    resetHeight = job ? job->height : 0;
    pixels.Clear();
    // Blocks of a map that was stopped short belong to the old preview.
    const std::lock_guard<std::mutex> lockB(mutexB);
    tileBlocks.clear();
}

void MainWindow::OnMapStart(BakeJob* job, int mapIndex, Image*) {
    progress = 0.0f;
    if (job && mapIndex >= 0 && size_t(mapIndex) < job->maps.size()) ReportBakeStart(*job, job->maps[size_t(mapIndex)]);
}

void MainWindow::OnTilingStart(BakeJob*, MapSettings*, int, int) {}

void MainWindow::OnTileDone(const BakeManager::TileUpdate* tile) {
    if (!tile || !tile->image) return;
    // Converted here, with no lock held, while the engine keeps the image alive and unchanged.
    PreviewBlock block;
    try {
        block = ConvertTile(*tile->image, tile->x, tile->y, tile->width, tile->height);
    } catch (const std::bad_alloc&) {
        return;  // the preview goes without this block rather than failing the bake
    }
    if (block.colours.empty()) return;
    const std::lock_guard<std::mutex> lockB(mutexB);
    tileBlocks.push_back(std::move(block));
}

void MainWindow::OnProgress(float fraction) { progress = fraction; }

void MainWindow::OnError(const std::string& message) {
    // The run counts as going on until the progress tick has shown the box: nothing may start
    // over the failure, and the tick runs until then, after a cancel too.
    const std::lock_guard<std::mutex> lockB(mutexB);
    errorText = message;
    runFailed = true;
}

void MainWindow::OnLog(const std::string& line) {
    std::printf("\t\t\t%s\n", line.c_str());
    std::fflush(stdout);
    const std::lock_guard<std::mutex> lockB(mutexB);
    statusText = line;
}

void MainWindow::OnTilingEnd(BakeJob*, MapSettings*, int, int) {}

void MainWindow::OnMapDone(BakeJob* job, int mapIndex) {
    {
        const std::lock_guard<std::mutex> lockA(mutexA);
        TakeQueuedPixels();
        paintAll = true;
    }
    if (!reporter || !job || mapIndex < 0 || size_t(mapIndex) >= job->maps.size()) return;
    const MapSettings& map = job->maps[size_t(mapIndex)];
    reporter->ReportSceneStats(bakeId, map.traceTris, map.cageTris, map.lowresTris, map.traceHighwater, map.cellCount,
                               map.cellUsage, map.cellAvg);
    reporter->ReportBakeEnd(bakeId, double(map.totalTime), map.mapTimes[0], map.mapTimes[1], map.mapTimes[2],
                            map.mapTimes[3], map.mapTimes[4], map.mapTimes[5]);
}

void MainWindow::OnJobEnd(BakeJob*) {}

void MainWindow::OnBakeEnd(int) { baking = false; }

void MainWindow::OnBakeStopped() {
    baking = false;
    if (reporter) reporter->ReportCancelBake();
    const std::lock_guard<std::mutex> lockA(mutexA);
    paintAll = true;
}

void MainWindow::ReportBakeStart(const BakeJob& job, const MapSettings& map) {
    if (!reporter) return;
    switch (map.type) {
    case MapAmbientOcclusion:
    case MapThickness: bakeId = reporter->ReportAOBake(job.width, job.height, map.supersampling, map.rayCount); break;
    case MapMaterialId:
    case MapDisplacement:
    case MapCurvature:
    case MapWorldPosition:
    case MapHardEdgeMask:
    case MapAlphaMask:
    case MapDiagnostic: bakeId = reporter->ReportClownBake(job.width, job.height); break;
    default: break;
    }
}

void MainWindow::TakeQueuedPixels() {
    std::deque<PreviewBlock> taken;
    {
        const std::lock_guard<std::mutex> lockB(mutexB);
        taken.swap(tileBlocks);
    }
    for (PreviewBlock& block : taken) pixels.Append(std::move(block));
}

size_t MainWindow::PendingPreviewBytes() {
    const std::lock_guard<std::mutex> lockA(mutexA);
    size_t bytes = pixels.Bytes();
    const std::lock_guard<std::mutex> lockB(mutexB);
    for (const PreviewBlock& block : tileBlocks) bytes += block.Bytes();
    return bytes;
}

void MainWindow::pixelUpdate() {
    {
        const std::lock_guard<std::mutex> lockA(mutexA);
        // A new job's preview is shown at once, not only with its first tile: loading its
        // meshes can take long, and the last bake's map would stand in for it meanwhile.
        const bool reset = resetImage;
        if (resetImage) {
            renderMap->ResetImage(resetWidth, resetHeight);
            resetImage = false;
        }
        TakeQueuedPixels();
        const bool all = paintAll;
        paintAll = false;
        const size_t pending = pixels.PendingPixels();
        if (pending == 0) {
            if (reset) renderMap->update();
            return;
        }
        QImage* image = renderMap->Image();
        if (!image || image->isNull()) {
            // The preview could not be allocated at this size; there is nowhere to paint.
            pixels.Clear();
            return;
        }
        pixels.Paint(reinterpret_cast<uint32_t*>(image->bits()), image->width(), image->height(),
                     size_t(image->bytesPerLine()) / sizeof(uint32_t), all ? pending : PreviewBudget(pending));
    }
    renderMap->repaint();
}

void MainWindow::progressUpdate() {
    const bool running = baking;
    bool failed = false;
    std::string status, error;
    {
        const std::lock_guard<std::mutex> lockB(mutexB);
        status = statusText;
        failed = runFailed;
        error = errorText;
        runFailed = false;
    }
    if (auto* label = findChild<QLabel*>("progressLabel")) {
        label->setText(QString::fromStdString(status));
        // The page cuts a line too long for it; the whole line is a hover away.
        label->setToolTip(label->text());
    }
    auto* bar = findChild<QProgressBar*>("progressBar");
    if (bar) bar->setValue(std::clamp(int(std::clamp(progress.load(), 0.0f, 1.0f) * 100.0f), 0, 100));

    if (failed) {
        // The box runs its own event loop, in which this timer would show it again.
        if (progressTimer) progressTimer->stop();
        baking = false;
        SetBakeControlsReady(true);
        QMessageBox::critical(this, "Bake Error", QString::fromStdString(error));
        ReturnToSettings();
        return;
    }
    const bool cancelled = manager->IsCancelled();
    if (running && !cancelled) return;
    if (running) {
        // Cancelled: the settings come back at once, the tick goes on until the engine has stopped.
        if (stack->currentIndex() != 0) ReturnToSettings();
        if (auto* button = findChild<QPushButton*>("bakeButton")) button->setText(tr("Canceling..."));
        return;
    }

    if (bar) bar->setValue(100);
    if (progressTimer) progressTimer->stop();
    SetBakeControlsReady(true);
    if (cancelled) {
        ReturnToSettings();
        return;
    }
    if (auto* button = findChild<QPushButton*>("cancelButton")) button->setText("CLOSE");
    auto* autoClose = findChild<QCheckBox*>("autocloserender_checkbox");
    if (autoClose && autoClose->isChecked()) ReturnToSettings();
}

void MainWindow::SetBakeControlsReady(bool ready) {
    if (auto* button = findChild<QPushButton*>("bakeButton")) {
        button->setEnabled(ready);
        if (ready) button->setText(tr("BAKE IT"));
    }
    startBatchAct->setEnabled(ready);
}

void MainWindow::ReturnToSettings() {
    if (pixelTimer) pixelTimer->stop();
    // A run that is still stopping needs the tick that notices its end or its failure.
    if (progressTimer && !baking) progressTimer->stop();
    {
        const std::lock_guard<std::mutex> lockA(mutexA);
        pixels.Clear();
    }
    stack->setCurrentIndex(0);
}

void MainWindow::cancelBake() {
    if (baking)
        manager->Cancel();
    else
        ReturnToSettings();
}

}  // namespace Pallix::Bake
