#include "MainWindow.h"

#include <QAction>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>

#include <algorithm>
#include <exception>
#include <mutex>
#include <numbers>

#include "elidedcombobox.h"

namespace Pallix::Bake {

namespace {

bool FileExists(const QString& path) { return QFileInfo(path).isFile(); }

std::string Utf8(const QString& text) { return text.toUtf8().toStdString(); }

}  // namespace

void MainWindow::ApplyProcessorChoice() {
    auto* box = findChild<QComboBox*>("processorsBox");
    auto* label = findChild<QLabel*>("processorCountLabel");
    // A stored choice from a machine with more threads can leave the combo without a current item.
    const int n = std::clamp(box ? box->currentIndex() + 1 : 1, 1, ProcessorCount());
    manager->SetThreadCount(n);
    manager->ClearDirectMode();
    if (label) label->setText(QString::number(n) + " CPUs");
}

void MainWindow::bake() {
    if (baking || !CurrentPresetListed()) return;
    if (!RefuseInvalidFields(model.PresetName(), InvalidFields())) return;
    ApplyProcessorChoice();
    ClearBakeJobs();
    BakeJob* job = AddBakeJob();
    if (ValidateAndFillJob(model, job)) StartBake();
}

int MainWindow::EngineMapType(const BakeModel::Node& node) const {
    const int index = node.ValueOrDefault(model.Attrs().maptype).intValue;
    return index >= 0 && index <= 9 ? index + 1 : MapNone;
}

int MainWindow::EngineTangentSpace(const BakeModel::Node& node) const {
    const BakeModel::Attributes& a = model.Attrs();
    if (node.ValueOrDefault(a.maptype).intValue != 0) return TangentNone;
    static const int codes[6] = {TangentFbx, TangentMaya, TangentMikkt, TangentUe47, TangentSource, TangentUnity};
    const int index = node.ValueOrDefault(a.tangents).intValue;
    return index >= 0 && index < 6 ? codes[index] : TangentNone;
}

bool MainWindow::ValidateAndFillJob(BakeModel::Preset& preset, BakeJob* job, bool namePreset) {
    const BakeModel::Attributes& a = preset.Attrs();
    auto value = [](const BakeModel::Node& node, const BakeModel::Attribute& attribute) {
        return node.ValueOrDefault(attribute);
    };
    // In a batch several presets are checked in a row: each box says whose problem it shows.
    const QString owner = !namePreset                      ? QString()
                          : preset.PresetName().isEmpty() ? QString("Unnamed preset: ")
                                                           : "Preset \"" + ShortenedName(preset.PresetName(), font()) + "\": ";
    auto refuse = [&](const QString& title, const QString& text) {
        QMessageBox::critical(this, title, owner + text);
        return false;
    };

    // A fresh store shows the envelope ticked with no file: that means no envelope, not a
    // bake that silently does nothing.
    const BakeModel::Node& envelope = preset.Envelope();
    const QString envelopePath = envelope.Path();
    const bool useEnvelope = value(envelope, a.enabled).boolValue && !envelopePath.isEmpty();
    if (useEnvelope && !FileExists(envelopePath))
        return refuse("Missing file", "Envelope " + envelopePath + " does not exist");

    const BakeModel::Node& output = preset.Output();
    const int width = a.width.ItemText(value(output, a.width).intValue).toInt(nullptr, 10);
    const int height = a.height.ItemText(value(output, a.height).intValue).toInt(nullptr, 10);

    int traceCount = 0;
    for (const auto& node : preset.TraceNodes()) {
        if (!value(*node, a.enabled).boolValue) continue;
        ++traceCount;
        const QString path = node->Path();
        if (path.isEmpty())
            return refuse("Missing file", "High poly row " + QString::number(node->Index() + 1) + " has no file");
        if (!FileExists(path)) return refuse("Missing file", "High poly " + path + " does not exist");
        job->AddHighPolyPath(path.toUtf8().constData());
    }

    const QString lowPolyPath = preset.Target().Path();
    if (traceCount == 0) {
        // An empty path would read "Low poly  does not exist": the next check says it better.
        if (!lowPolyPath.isEmpty() && !FileExists(lowPolyPath))
            return refuse("Please select a valid file", "Low poly " + lowPolyPath + " does not exist");
        job->AddHighPolyPath(lowPolyPath.toUtf8().constData());
        job->hasHighPoly = false;
    } else {
        job->hasHighPoly = true;
    }
    if (!FileExists(lowPolyPath)) return refuse("Invalid low res file", "Please select a valid low res file");
    // The maps would land in the program's folder under names made of their suffixes alone.
    if (output.Path().trimmed().isEmpty()) return refuse("Invalid output path", "Please choose an output path");

    job->width = width;
    job->height = height;
    if (cachingFileAct->isChecked()) job->cacheMode = CacheFiles;
    if (cachingMemoryAct->isChecked()) job->cacheMode = CacheMemory;
    job->tilingMode = value(output, a.tilingmethod).intValue;
    job->tileNaming = value(output, a.tilingnaming).intValue;
    job->tileMinU = value(output, a.tilingminu).intValue;
    job->tileMaxU = value(output, a.tilingmaxu).intValue;
    job->tileMinV = value(output, a.tilingminv).intValue;
    job->tileMaxV = value(output, a.tilingmaxv).intValue;
    if (nameMatchingOnAct->isChecked()) job->matchNames = true;
    job->lowPolyPath = Utf8(lowPolyPath);
    job->searchDistance = value(output, a.searchdistance).floatValue;
    job->dilation = value(output, a.dilation).intValue;
    static const int directions[3] = {DirectionGeometric, DirectionInterpolated, DirectionRounded};
    const int direction = value(output, a.direction).intValue;
    job->normalDirection = direction >= 0 && direction < 3 ? directions[direction] : DirectionGeometric;
    job->roundingDistance = value(output, a.rounding).floatValue;
    job->searchMode = value(output, a.searchmethod).intValue;
    job->outputPath = Utf8(output.Path());
    static const int formats[5] = {FormatTiff16, FormatTiff8, FormatPng16, FormatPng8, FormatExr};
    const int format = value(output, a.format).intValue;
    job->outputFormat = format >= 0 && format < 5 ? formats[format] : FormatTiff16;
    job->SetEnvelopePath(useEnvelope ? envelopePath.toUtf8().constData() : "");

    int mapCount = 0;
    for (const auto& node : preset.MapNodes()) {
        if (!value(*node, a.enabled).boolValue) continue;
        ++mapCount;
        MapSettings& map = job->AddMap();
        map.supersampling = 1 << std::clamp(value(*node, a.supersampling).intValue, 0, 3);
        map.type = EngineMapType(*node);
        map.spread = float(double(value(*node, a.spread).floatValue / 180.0f) * std::numbers::pi);
        map.tangentSpace = EngineTangentSpace(*node);
        map.normalized = value(*node, a.normalized).boolValue;
        map.axis = value(*node, a.axis).intValue;
        map.layers = value(*node, a.layers).boolValue;
        map.rebuildNormals = false;
        const int tangents = value(*node, a.tangents).intValue;
        map.generateTangents = tangents >= 2 && tangents <= 5;
        map.yFlip = value(*node, a.yup).intValue == 1;
        if (map.type == MapAmbientOcclusion || map.type == MapThickness) {
            static const int rays[4] = {32, 64, 256, 512};
            const int quality = value(*node, a.quality).intValue;
            const bool known = quality >= 0 && quality < 4;
            map.rayCount = known ? rays[quality] : 16;
            map.SetBlur(quality == 0 ? 0.0f : 1.5f);
            map.supersampling = 1;
            map.aoDistance = value(*node, a.distance).floatValue;
        } else {
            map.SetBlur(float(value(*node, a.blur).intValue) * 0.5f);
        }
    }
    if (mapCount == 0) {
        QMessageBox::information(this, "Invalid Bake", owner + "Please select at least one map");
        return false;
    }
    return true;
}

void MainWindow::StartBake() {
    if (auto* bar = findChild<QProgressBar*>("progressBar")) bar->setValue(0);
    // The last bake's final line would read as this one's until the first progress tick.
    if (auto* label = findChild<QLabel*>("progressLabel")) label->clear();
    {
        const std::lock_guard<std::mutex> lockA(mutexA);
        pixels.Clear();
        paintAll = false;
        const std::lock_guard<std::mutex> lockB(mutexB);
        tileBlocks.clear();
        statusText.clear();
        errorText.clear();
        runFailed = false;
    }

    // Set before the thread starts: a run with nothing to bake can end, and clear it, at once.
    baking = true;
    try {
        manager->BakeAsync(&jobs);
    } catch (const std::exception& e) {
        baking = false;
        QMessageBox::critical(this, "Bake Failed", QString::fromUtf8(e.what()));
        return;
    }

    if (auto* button = findChild<QPushButton*>("cancelButton")) {
        button->setText("Cancel");
        button->setObjectName("cancelButton");
    }
    SetBakeControlsReady(false);
    stack->setCurrentIndex(1);
    if (!progressTimer) {
        progressTimer = new QTimer(this);
        pixelTimer = new QTimer(this);
        connect(pixelTimer, &QTimer::timeout, this, &MainWindow::pixelUpdate);
        connect(progressTimer, &QTimer::timeout, this, &MainWindow::progressUpdate);
    }
    progressTimer->start(500);
    pixelTimer->start(100);

    settings->SetInt("bakecount", settings->GetInt("bakecount", 0) + 1);
    CheckStore();
}

bool MainWindow::RefuseInvalidFields(const QString& name, const QStringList& fields) {
    if (fields.isEmpty()) return true;
    const QString preset = name.isEmpty() ? QString("The unnamed preset") : "Preset \"" + ShortenedName(name, font()) + "\"";
    QMessageBox::critical(this, "Invalid setting",
                          preset + " cannot be baked until these fields hold numbers in their ranges:\n" +
                              fields.join("\n"));
    return false;
}

void MainWindow::actionBakeBatch() {
    if (baking) return;
    // The batch ends by loading the current preset again, which would store its rows anew.
    CurrentPresetListed();
    ApplyProcessorChoice();
    QStringList names;
    model.PresetNames(names);
    const QString current = model.PresetName();
    // The fields on screen belong to the current preset; the loop below loads others into the model.
    const QStringList invalid = InvalidFields();
    ClearBakeJobs();
    bool ticked = false;
    bool failed = false;
    for (const QString& name : names) {
        if (settings->settings.value("preset_" + name + "_batch_on", 0).toInt() == 0) continue;
        ticked = true;
        if (name == current && !RefuseInvalidFields(current, invalid)) {
            failed = true;
            continue;
        }
        model.LoadPreset(name);
        // Every ticked preset is checked, so one batch shows all of its problems.
        if (name != current && !RefuseInvalidFields(name, InvalidValues(model)))
            failed = true;
        else if (!ValidateAndFillJob(model, AddBakeJob(), true))
            failed = true;
    }
    if (!ticked) {
        QMessageBox::information(this, "Nothing to bake",
                                 "No preset is ticked in the Batch menu: tick the presets to bake there, then "
                                 "choose Start Batch again.");
    } else if (!failed) {
        StartBake();
    }
    model.LoadPreset(current);
    CheckStore();
}

}  // namespace Pallix::Bake
