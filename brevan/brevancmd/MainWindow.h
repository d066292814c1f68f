#pragma once

#include <QMainWindow>
#include <QString>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bakemodel.h"
#include "pallixbake.h"
#include "previewblocks.h"

class QAction;
class QActionGroup;
class QComboBox;
class QErrorMessage;
class QLabel;
class QMenu;
class QStackedWidget;
class QTimer;
class QUrl;
class QVBoxLayout;

namespace Pallix::Bake {

// The product web site's pages, on a placeholder domain.
inline constexpr char kHomePage[] = "https://kelvor.example/";
inline constexpr char kTutorialsPage[] = "https://kelvor.example/tutorials";
inline constexpr char kSupportPage[] = "https://kelvor.example/support";

// a + "_" + b. Node names and attribute keys hold no "_", so a widget named this way leads back
// to its node and attribute.
QString JoinName(const QString& a, const QString& b);

// The path up to and including its last "/" or "\", or all of it without either; prints
// "opening " and that folder.
std::string DirectoryOfPath(const std::string& path);

// The base path that a file picked in the output chooser stands for: the normal-map suffixes
// and the extension of the file name go, so the bake can append its own.
QString OutputBasePath(const QString& chosen);

// Hardware threads as the standard library reports them, at least 1.
int ProcessorCount();

// The processors combo's index for a stored choice: all threads when the choice is not one
// of the count items, as when the store comes from a machine with more threads.
int ProcessorIndex(int stored, int count);

class RenderMapWidget;

// The one main window of Kelvor: the settings of the current preset in rows, the presets, the
// menus of global options and batch, and the progress page of a running bake.
class MainWindow : public QMainWindow, public BakeManager::IBakeListener {
    Q_OBJECT
public:
    // Shows a folder in the file browser or a page in the web browser.
    using Opener = std::function<void(const QUrl& url)>;

    // Neither pointer is owned; both outlive the window.
    MainWindow(EventReporter* reporter, SettingsStore* settings);
    ~MainWindow() override;

    QSize sizeHint() const override;

    void OnBakeStart() override;
    void OnJobStart(BakeJob* job) override;
    void OnMapStart(BakeJob* job, int mapIndex, Image* image) override;
    void OnTilingStart(BakeJob* job, MapSettings* map, int udimColumn, int udimRow) override;
    void OnTileDone(const BakeManager::TileUpdate* tile) override;
    void OnProgress(float fraction) override;
    void OnError(const std::string& message) override;
    void OnLog(const std::string& line) override;
    void OnTilingEnd(BakeJob* job, MapSettings* map, int udimColumn, int udimRow) override;
    void OnMapDone(BakeJob* job, int mapIndex) override;
    void OnJobEnd(BakeJob* job) override;
    void OnBakeEnd(int jobCount) override;
    void OnBakeStopped() override;

    // Makes name the current preset (listing it, with what its group holds, when the list lacks
    // it) and refills every region from it without writing any widget value back.
    void LoadPresetIntoWindow(const QString& name);

    void SetOpener(Opener replacement) { opener = std::move(replacement); }
    BakeModel::Preset& Model() { return model; }
    BakeManager& Manager() { return *manager; }
    const TraceGridSettings& GridSettings() const { return gridSettings; }

    // The jobs of the current run; the window owns them until the next run or its end.
    std::vector<BakeJob*>& Jobs() { return jobs; }
    BakeJob* AddBakeJob();
    void ClearBakeJobs();

    // Checks the model's current nodes and fills job from them; false after a message box,
    // which names the preset when namePreset is set.
    bool ValidateAndFillJob(BakeModel::Preset& preset, BakeJob* job, bool namePreset = false);
    // Hands the jobs to the manager and shows the progress page.
    void StartBake();
    // The engine's map type and tangent-space codes of a map node.
    int EngineMapType(const BakeModel::Node& node) const;
    int EngineTangentSpace(const BakeModel::Node& node) const;
    // Heap bytes of the preview pixels that wait to be painted, queued blocks included.
    size_t PendingPreviewBytes();
    // True from a bake start until the engine reports its end, or until its failure is shown.
    bool Baking() const { return baking; }

    // The value widget of attribute on node, wrapped in a labelled frame unless its label is
    // empty, connected to the generic callback of its kind; null for an unknown kind.
    QWidget* BuildAttributeRow(BakeModel::Node& node, const BakeModel::Attribute& attribute);
    // Writes the model's value into the attribute's existing widget; like a user edit it emits
    // the widget's change signal.
    void UpdateAttributeField(const BakeModel::Node& node, const BakeModel::Attribute& attribute);
    void UpdateAttributeField(const BakeModel::Node& node, const QString& key);
    // The node named by the first part of the sender's object name.
    BakeModel::Node* NodeForSender(QObject* sender);
    // Shows in a map row only the settings rows that its map type uses.
    void UpdateMapTypeVisibility(QWidget* mapRow, BakeModel::Node* node);
    // The folder of path when it exists, else the folder of the last file chosen.
    QString StartFolderFor(const QString& path) const;
    const QString& LastFolder() const { return lastFolder; }

public slots:
    // Bake start and monitor.
    void bake();
    void actionBakeBatch();
    void cancelBake();
    // The monitor's timers: preview pixels every 100 ms, progress and the bake's end every 500 ms.
    void pixelUpdate();
    void progressUpdate();
    void ReturnToSettings();

    // Dialogs and the Maya shelf.
    void showAbout();
    void showLegal();
    void showEULA();
    void mayaInstall();
    void mayaInstallCustom();

    void addBakeMap();
    void removeBakeMap();
    void addTraceMeshHandler();
    void removeTraceMesh();
    void presetComboChangedHandler(int index);
    void addPresetHandler();
    void removePresetHandler();
    void actionToggleBack();
    void openOutputFolder();
    void openWebsite();
    void openTutorials();
    void openSupport();
    void openTutorialURL();

    void setCachingNone();
    void setCachingFile();
    void setCachingMemory();
    void setUDIMOff();
    void setUDIMAuto();
    void setUDIMFull();
    void setTileNamingUDIM();
    void setTileNamingMudbox();
    void setNameMatchingOff();
    void setNameMatchingOn();

    void chooseHighRes();
    void chooseLowRes();
    void chooseEnvelope();
    void chooseOutputDirectory();

    void CallbackSetNodeAttributeI(int value);
    void CallbackSetNodeAttributeS(const QString& text);
    void CallbackSaveUICheckboxSetting(int state);
    void CallbackSaveUIComboSetting(int index);
    void CallbackSetMapType(int index);
    void CallbackSetTangentType(int index);

private:
    void BuildUi();
    void CreateActions();
    void CreateMenus();
    void RebuildBatchMenu();
    QAction* MakeAction(const QString& text, const QString& statusTip, void (MainWindow::*slot)(),
                        QActionGroup* group = nullptr);
    void SetGlobalOption(QAction* action, const char* key, const char* value);

    QWidget* BuildSettingsPage();
    QWidget* BuildProgressPage();
    QWidget* BuildHeader(bool withProcessorCombo);
    QWidget* BuildPresetRegion();
    QWidget* BuildHighPolyRegion();
    QWidget* BuildEnvelopeRegion();
    QWidget* BuildLowPolyRegion();
    QWidget* BuildMapsRegion();
    QWidget* BuildOutputRegion();
    QWidget* BuildBottomButtons();
    QWidget* BuildHighPolyRow(BakeModel::Node& node);
    QWidget* BuildEnvelopeRow();
    QWidget* BuildLowPolyRow();
    QWidget* BuildMapRow(BakeModel::Node& node);
    QWidget* BuildOutputRow(const std::vector<const BakeModel::Attribute*>& attributes);
    QWidget* MakePathButton(const QString& node, void (MainWindow::*slot)());
    QWidget* MakeRemoveButton(const QString& key, void (MainWindow::*slot)());
    QWidget* MakeAddButton(const QString& key, void (MainWindow::*slot)());

    QWidget* MakeComboRow(const QString& name, const QString& label, const QStringList& items, int index);
    QWidget* MakeCheckRow(const QString& name, const QString& label, bool checked);
    QWidget* MakeRangeRow(const QString& name, const QString& label, const QString& text);
    QWidget* MakeIntRow(const QString& name, const QString& label, const QString& text);
    QWidget* MakeTextRow(const QString& name, const QString& label, const QString& text);
    QWidget* MakeLineEdit(const QString& name, const char* property, const QString& text);

    QVBoxLayout* RegionLayout(const QString& key);
    void RebuildRows(const QString& regionKey, const BakeModel::Preset::NodeList& nodes,
                     QWidget* (MainWindow::*buildRow)(BakeModel::Node&));
    void RebuildHighPolyRows();
    void RebuildMapRows();
    void UpdateOutputFields();
    void RefillPresetCombo();
    // Reads the current preset's processor choice into the combo without storing it again.
    void ReadProcessorChoice();
    void StoreProcessorChoice();
    void ChooseMesh(const QString& filter);
    // The processor choice of the header: thread count, no direct mode, the count label.
    void ApplyProcessorChoice();
    // BAKE IT and Start Batch do nothing during a run; disabled, they show it.
    void SetBakeControlsReady(bool ready);
    // Shows on a number field whether its text holds a valid value of the attribute (problem
    // empty) or why not; the tool tip gives the attribute's range.
    void MarkField(QWidget* field, const BakeModel::Attribute& attribute, const QString& problem);
    // The number fields on screen whose text holds no number in its attribute's range, as
    // "map row 2 (AO Map), Distance:" and the problem, maps first.
    QStringList InvalidFields() const;
    // The same for the values a preset loaded into the model holds, as a store may hold values
    // outside their ranges: those that the preset's bake would use.
    QStringList InvalidValues(const BakeModel::Preset& preset) const;
    // True when fields is empty; otherwise a box names the preset and each field, and the bake
    // is refused.
    bool RefuseInvalidFields(const QString& name, const QStringList& fields);
    // Whether the stored preset list, as it is now, holds name.
    bool PresetListed(const QString& name) const;
    // "the preset 'name'", shortened to fit a box, or "the unnamed preset".
    QString QuotedPreset(const QString& name) const;
    // The box that says another window removed the preset, and what follows from it.
    void SayPresetRemoved(const QString& name, const QString& consequence);
    // Called before the window stores a change to its current preset. False when another window
    // has removed that preset: a box says so, nothing is stored, and the first preset that
    // remains is loaded.
    bool CurrentPresetListed();
    // Tells the user, once a run, when the store could not write its file.
    void CheckStore();
    // Moves every converted block into the pending pixels; mutex A must be held.
    void TakeQueuedPixels();
    void ReportBakeStart(const BakeJob& job, const MapSettings& map);

    QAction* websiteAct = nullptr;
    QAction* tutorialsAct = nullptr;
    QAction* supportAct = nullptr;
    QAction* legalAct = nullptr;
    QAction* eulaAct = nullptr;
    QAction* mayaInstallAct = nullptr;
    QAction* mayaInstallCustomAct = nullptr;
    QAction* aboutAct = nullptr;
    QAction* cachingNoneAct = nullptr;
    QAction* cachingFileAct = nullptr;
    QAction* cachingMemoryAct = nullptr;
    QAction* udimOffAct = nullptr;
    QAction* udimAutoAct = nullptr;
    QAction* udimFullAct = nullptr;
    QAction* tileNamingUdimAct = nullptr;
    QAction* tileNamingMudboxAct = nullptr;
    QAction* nameMatchingOffAct = nullptr;
    QAction* nameMatchingOnAct = nullptr;
    QAction* tutorialUrlAct = nullptr;
    QAction* startBatchAct = nullptr;
    QActionGroup* cachingGroup = nullptr;
    QActionGroup* udimGroup = nullptr;
    QActionGroup* tileNamingGroup = nullptr;
    QActionGroup* nameMatchingGroup = nullptr;
    QMenu* batchMenu = nullptr;
    // The central widget; also the parent of rows built after the pages.
    QStackedWidget* stack = nullptr;
    QWidget* settingsPage = nullptr;
    QWidget* progressPage = nullptr;
    // Made by the first bake start.
    QTimer* progressTimer = nullptr;
    QTimer* pixelTimer = nullptr;
    QErrorMessage* errorMessage = nullptr;
    QString lastFolder;
    std::unique_ptr<BakeManager> manager;
    SettingsStore* settings;
    EventReporter* reporter;
    CpuFeatures cpu;
    TraceGridSettings gridSettings;
    std::vector<BakeJob*> jobs;
    std::vector<std::unique_ptr<BakeJob>> ownedJobs;
    BakeModel::Preset model;
    // Set while a preset is written into the widgets: their signals must not store anything.
    bool updating = false;

    // Handed from the bake thread to the GUI thread. Mutex A guards the first group, mutex B
    // the second; when both are needed, A is taken first. Tiles arrive already converted, so
    // nothing here points into the engine's images, which go with their bakers.
    bool resetImage = false;
    int resetWidth = 0;
    int resetHeight = 0;
    bool paintAll = false;
    PreviewBacklog pixels;
    std::deque<PreviewBlock> tileBlocks;
    std::string statusText;
    std::string errorText;
    // Set by OnError and taken by the progress tick that shows it; the manager's own flag
    // follows later.
    bool runFailed = false;
    std::atomic<float> progress{0.0f};
    std::atomic<bool> baking{false};
    int bakeId = 0;  // bake thread only
    std::mutex mutexA;
    std::mutex mutexB;

    QComboBox* presetCombo = nullptr;
    RenderMapWidget* renderMap = nullptr;
    Opener opener;
};

}  // namespace Pallix::Bake
