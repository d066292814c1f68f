#include "MainWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QErrorMessage>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "elidedcombobox.h"
#include "enterpushbutton.h"
#include "rendermapwidget.h"
#include "storecheck.h"

namespace Pallix::Bake {

namespace {

QFrame* MakeSeparator() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setProperty("separator", true);
    return line;
}

QLabel* MakeRegionHeader(const QString& title) {
    auto* header = new QLabel(title);
    header->setProperty("regionheader", true);
    return header;
}

QVBoxLayout* MakeRegion(const QString& key, const QString& title) {
    auto* region = new QFrame;
    region->setObjectName(JoinName(key, "region"));
    QSizePolicy policy(QSizePolicy::MinimumExpanding, QSizePolicy::Fixed);
    policy.setHorizontalStretch(1);
    region->setSizePolicy(policy);
    auto* layout = new QVBoxLayout(region);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(MakeRegionHeader(title), 0, Qt::AlignTop);
    return layout;
}

}  // namespace

int ProcessorCount() {
    const unsigned threads = std::thread::hardware_concurrency();
    return threads == 0 ? 1 : int(threads);
}

int ProcessorIndex(int stored, int count) { return stored >= 0 && stored < count ? stored : count - 1; }

MainWindow::MainWindow(EventReporter* eventReporter, SettingsStore* store)
    : QMainWindow(nullptr), settings(store), reporter(eventReporter), model(store),
      opener([](const QUrl& url) { QDesktopServices::openUrl(url); }) {
    gridSettings.threshold = 20;
    gridSettings.density = 0.75f;
    gridSettings.densityPower = 1.0f / 3.0f;
    gridSettings.maxRootCells = 131072;
    gridSettings.targetMin = 64.0f;
    gridSettings.targetMax = 512.0f;

    BuildUi();
    LoadPresetIntoWindow(model.CurrentPresetName());
    // Start-up has written already; a store that failed is reported once the window is up.
    QTimer::singleShot(0, this, &MainWindow::CheckStore);

    // Automatic SIMD in single precision cannot fail: it falls back to the scalar kernel.
    ChooseTraceKernel(cpu, &gridSettings, SimdAuto, PrecisionSingle);
    manager = std::make_unique<BakeManager>(reporter, &gridSettings);
    manager->SetListener(this);
}

MainWindow::~MainWindow() {
    // The manager cancels and joins a running bake, which reads the jobs until it returns.
    manager.reset();
    ClearBakeJobs();
    if (reporter) reporter->ReportShutdown();
    // The pages' widgets are connected to slots that read the model, which goes before them.
    delete stack;
    stack = nullptr;
}

QSize MainWindow::sizeHint() const { return QSize(600, 850); }

void MainWindow::CheckStore() { CheckStoreWritten(*settings, this); }

void MainWindow::BuildUi() {
    CreateActions();
    CreateMenus();
    if (objectName().isEmpty()) setObjectName("MainWindow");
    adjustSize();

    stack = new QStackedWidget(this);
    settingsPage = BuildSettingsPage();
    progressPage = BuildProgressPage();
    stack->addWidget(settingsPage);
    stack->addWidget(progressPage);
    stack->setCurrentIndex(0);
    stack->setObjectName("centralWidget");
    setCentralWidget(stack);

    errorMessage = new QErrorMessage(this);

    const QString iconPath = QCoreApplication::applicationDirPath() + "/Resources/appicon.png";
    QPixmap icon;
    if (icon.load(iconPath)) {
        setWindowIcon(QIcon(icon));
    } else {
        std::printf("Can't find file %s\n", iconPath.toUtf8().constData());
        std::fflush(stdout);
    }

    adjustSize();
    resize(600, 850);
}

QWidget* MainWindow::BuildSettingsPage() {
    auto* page = new QFrame;
    page->setObjectName("mainFrame");
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(BuildHeader(true), 0, Qt::AlignTop);

    auto* frame = new QFrame;
    frame->setObjectName("settingsFrame");
    auto* frameLayout = new QVBoxLayout(frame);
    frameLayout->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea;
    scroll->setObjectName("scrollFrame");
    scroll->setBackgroundRole(QPalette::Dark);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidgetResizable(true);
    QSizePolicy policy(QSizePolicy::MinimumExpanding, QSizePolicy::MinimumExpanding);
    policy.setHorizontalStretch(0);
    policy.setVerticalStretch(0);
    scroll->setSizePolicy(policy);
    scroll->setWidget(frame);
    layout->addWidget(scroll);

    const std::vector<QWidget*> regions = {BuildPresetRegion(),   BuildHighPolyRegion(), BuildEnvelopeRegion(),
                                           BuildLowPolyRegion(),  BuildMapsRegion(),     BuildOutputRegion()};
    for (size_t i = 0; i < regions.size(); ++i) {
        if (i > 0) frameLayout->addWidget(MakeSeparator());
        frameLayout->addWidget(regions[i]);
    }

    layout->addWidget(BuildBottomButtons());
    scroll->adjustSize();
    return page;
}

QWidget* MainWindow::BuildHeader(bool withProcessorCombo) {
    auto* header = new QFrame;
    header->setObjectName("headerFrame");
    header->setProperty("headingframe", true);
    auto* layout = new QHBoxLayout(header);

    auto* title = new QLabel;
    title->setObjectName("titleLabel");
    layout->addWidget(title, 1, Qt::AlignLeft);

    // Placed on the window itself so that it can sit under the logo, outside every layout.
    auto* version = new QLabel(header);
    version->setObjectName("version");
    version->setText(tr("Version %1").arg(KELVOR_VERSION));
    version->setParent(this);
    version->setGeometry(10, 75, 240, 30);

    auto* processorFrame = new QFrame;
    processorFrame->setObjectName("processorFrame");
    auto* processorLayout = new QVBoxLayout(processorFrame);
    auto* processorLabel = new QLabel(tr("Processors"));
    processorLabel->setObjectName("processorLabel");
    processorLayout->addWidget(processorLabel, 0, Qt::AlignLeft);

    const int count = ProcessorCount();
    if (withProcessorCombo) {
        auto* box = new QComboBox;
        box->setObjectName("processorsBox");
        for (int i = 1; i <= count; ++i) box->addItem(QString::number(i) + " of " + QString::number(count));
        box->setCurrentIndex(ProcessorIndex(settings->GetInt("processorsBox", count - 1), count));
        connect(box, qOverload<int>(&QComboBox::currentIndexChanged), this, &MainWindow::CallbackSaveUIComboSetting);
        processorLayout->addWidget(box, 0, Qt::AlignLeft);
    } else {
        // A hand-edited value outside the list reads as its nearest end.
        const int chosen = std::max(0, settings->GetInt("processorsBox", 0));
        auto* countLabel = new QLabel(chosen >= count ? QString("GPU") : QString::number(chosen + 1) + " CPUs");
        countLabel->setObjectName("processorCountLabel");
        processorLayout->addWidget(countLabel, 0, Qt::AlignLeft);
    }
    layout->addWidget(processorFrame, 0, Qt::AlignRight);
    return header;
}

QWidget* MainWindow::BuildPresetRegion() {
    QVBoxLayout* region = MakeRegion("preset", "PRESETS");
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    // A long name must not push the preset buttons and every row wider than the window.
    presetCombo = new ElidedComboBox;
    presetCombo->setObjectName("presetCombo");
    connect(presetCombo, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &MainWindow::presetComboChangedHandler);
    layout->addWidget(presetCombo);
    layout->addWidget(MakeAddButton("preset", &MainWindow::addPresetHandler));
    layout->addWidget(MakeRemoveButton("preset", &MainWindow::removePresetHandler));
    region->addWidget(row, 0, Qt::AlignTop);
    return region->parentWidget();
}

QWidget* MainWindow::BuildHighPolyRegion() {
    QVBoxLayout* region = MakeRegion("trace", "HIGH POLY MESHES");
    region->addWidget(MakeAddButton("trace", &MainWindow::addTraceMeshHandler), 0, Qt::AlignRight);
    return region->parentWidget();
}

QWidget* MainWindow::BuildEnvelopeRegion() {
    QVBoxLayout* region = MakeRegion("envelope", "ENVELOPE");
    region->addWidget(BuildEnvelopeRow());
    return region->parentWidget();
}

QWidget* MainWindow::BuildLowPolyRegion() {
    QVBoxLayout* region = MakeRegion("lowpoly", "LOW POLY MESH");
    region->addWidget(BuildLowPolyRow());
    return region->parentWidget();
}

QWidget* MainWindow::BuildMapsRegion() {
    QVBoxLayout* region = MakeRegion("maps", "MAPS");
    region->addWidget(MakeAddButton("maps", &MainWindow::addBakeMap), 0, Qt::AlignRight);
    return region->parentWidget();
}

QWidget* MainWindow::BuildOutputRegion() {
    const BakeModel::Attributes& a = model.Attrs();
    BakeModel::Node& output = model.Output();
    auto* region = new QWidget;
    auto* layout = new QVBoxLayout(region);
    layout->setSpacing(0);
    layout->addWidget(MakeRegionHeader("OUTPUT / SETTINGS"), 0, Qt::AlignTop);

    auto* pathRow = new QWidget;
    auto* pathLayout = new QHBoxLayout(pathRow);
    pathLayout->addWidget(BuildAttributeRow(output, a.path));
    auto* button = new EnterPushButton(tr("..."));
    button->setObjectName(JoinName(output.Name(), "button"));
    button->setProperty("pathbutton", true);
    connect(button, &QPushButton::clicked, this, &MainWindow::chooseOutputDirectory);
    pathLayout->addWidget(button);
    layout->addWidget(pathRow);

    layout->addWidget(BuildOutputRow({&a.width, &a.height, &a.dilation, &a.format}));
    layout->addWidget(BuildOutputRow({&a.searchmethod, &a.searchdistance, &a.direction, &a.rounding}));
    layout->addWidget(BuildOutputRow(
        {&a.tilingmethod, &a.tilingnaming, &a.tilingminu, &a.tilingmaxu, &a.tilingminv, &a.tilingmaxv}));
    return region;
}

QWidget* MainWindow::BuildOutputRow(const std::vector<const BakeModel::Attribute*>& attributes) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    for (const BakeModel::Attribute* attribute : attributes)
        layout->addWidget(BuildAttributeRow(model.Output(), *attribute));
    return row;
}

QWidget* MainWindow::BuildBottomButtons() {
    auto* buttons = new QWidget;
    auto* layout = new QVBoxLayout(buttons);
    auto* bakeButton = new EnterPushButton(tr("BAKE IT"));
    bakeButton->setObjectName("bakeButton");
    connect(bakeButton, &QPushButton::pressed, this, &MainWindow::bake);
    auto* folderButton = new EnterPushButton(tr("Open output folder"));
    folderButton->setObjectName("openFolderButton");
    connect(folderButton, &QPushButton::pressed, this, &MainWindow::openOutputFolder);
    layout->addWidget(bakeButton, 0, Qt::AlignHCenter | Qt::AlignVCenter);
    layout->addWidget(folderButton, 0, Qt::AlignHCenter | Qt::AlignVCenter);
    return buttons;
}

QWidget* MainWindow::BuildProgressPage() {
    auto* page = new QFrame;
    page->setObjectName("progressFrame");
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    QWidget* header = BuildHeader(false);

    auto* inset = new QFrame;
    inset->setObjectName("progressInset");
    inset->setMaximumHeight(800);
    auto* insetLayout = new QVBoxLayout(inset);
    renderMap = new RenderMapWidget;
    renderMap->setObjectName("renderMap");
    renderMap->ResetImage(512, 512);
    insetLayout->addWidget(renderMap, 0, Qt::AlignCenter);
    auto* progressLabel = new QLabel("Progress");
    progressLabel->setObjectName("progressLabel");
    // A status line naming a long output file must not widen the page: it is cut, and its tool tip
    // holds the whole line.
    progressLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    insetLayout->addWidget(progressLabel);
    auto* bar = new QProgressBar;
    bar->setObjectName("progressBar");
    bar->setRange(0, 100);
    bar->setValue(50);
    insetLayout->addWidget(bar, 0, Qt::AlignCenter);

    auto* folderButton = new EnterPushButton(tr("Open output folder"));
    folderButton->setObjectName("renderOpenFolderButton");
    connect(folderButton, &QPushButton::pressed, this, &MainWindow::openOutputFolder);
    auto* cancelButton = new EnterPushButton(tr("CANCEL"));
    cancelButton->setObjectName("cancelButton");
    cancelButton->setMinimumHeight(50);
    connect(cancelButton, &QPushButton::pressed, this, &MainWindow::cancelBake);

    auto* closeFrame = new QFrame;
    auto* closeLayout = new QHBoxLayout(closeFrame);
    auto* autoClose = new QCheckBox;
    autoClose->setObjectName("autocloserender_checkbox");
    autoClose->setCheckable(true);
    autoClose->setTristate(false);
    autoClose->setChecked(settings->settings.value("autocloserender_checkbox", 1).toInt() != 0);
    connect(autoClose, &QCheckBox::stateChanged, this, &MainWindow::CallbackSaveUICheckboxSetting);
    auto* autoCloseLabel = new QLabel("Automatically close when bake is complete");
    autoCloseLabel->setObjectName("autoclose_label");
    closeLayout->addWidget(autoClose);
    closeLayout->addWidget(autoCloseLabel);

    // Below the header the page scrolls once even the smallest preview leaves too little room,
    // so that its parts never lie over each other.
    auto* content = new QWidget;
    content->setObjectName("progressContent");
    auto* contentLayout = new QVBoxLayout(content);
    contentLayout->setContentsMargins(0, 0, 0, 0);
    // Only the preview's inset stretches: with equal stretches the shrinkable preview would get
    // a quarter of the page whatever room there is.
    contentLayout->addWidget(inset, 1, Qt::AlignTop);
    contentLayout->addWidget(closeFrame, 0, Qt::AlignTop | Qt::AlignLeft);
    contentLayout->addWidget(cancelButton, 0, Qt::AlignHCenter | Qt::AlignVCenter | Qt::AlignBottom);
    contentLayout->addWidget(folderButton, 0, Qt::AlignHCenter | Qt::AlignVCenter | Qt::AlignTop);
    auto* scroll = new QScrollArea;
    scroll->setObjectName("progressScroll");
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidget(content);

    layout->addWidget(header, 0, Qt::AlignTop);
    layout->addWidget(scroll, 1);
    return page;
}

QString MainWindow::StartFolderFor(const QString& path) const {
    if (!path.isEmpty()) {
        const QFileInfo file(path);
        if (file.dir().exists()) return file.path();
    }
    return lastFolder;
}

void MainWindow::ChooseMesh(const QString& filter) {
    BakeModel::Node* node = NodeForSender(sender());
    if (!node) return;
    auto* field = findChild<QLineEdit*>(JoinName(node->Name(), "path"));
    if (!field) return;
    const QString file = QFileDialog::getOpenFileName(this, tr("Open File"), StartFolderFor(field->text()), filter);
    if (file.isEmpty()) return;
    lastFolder = QFileInfo(file).absolutePath();
    field->setText(file);
}

void MainWindow::chooseHighRes() { ChooseMesh(tr("FBX Files (*.fbx *.obj *.ply)")); }

void MainWindow::chooseLowRes() { ChooseMesh(tr("FBX Files (*.fbx *.obj)")); }

void MainWindow::chooseEnvelope() { ChooseMesh(tr("FBX Files (*.fbx *.obj)")); }

QString OutputBasePath(const QString& chosen) {
    QString path = chosen;
    for (const char* suffix : {"_tnm.tiff", "_onm.tiff", "_tnm.tif", "_onm.tif"})
        path.remove(QString(suffix), Qt::CaseSensitive);
    // Only a dot in the file name starts an extension; one in a folder name does not.
    const int separator = std::max(path.lastIndexOf('/'), path.lastIndexOf('\\'));
    const int dot = path.lastIndexOf('.');
    if (dot > separator) path.truncate(dot);
    return path;
}

void MainWindow::chooseOutputDirectory() {
    BakeModel::Node* node = NodeForSender(sender());
    if (!node) return;
    auto* field = findChild<QLineEdit*>(JoinName(node->Name(), "path"));
    if (!field) return;
    const QString file = QFileDialog::getSaveFileName(this, "Select Output Directory", StartFolderFor(field->text()),
                                                      QString());
    if (file.isEmpty()) return;
    lastFolder = QFileInfo(file).absolutePath();
    const QString base = OutputBasePath(file);
    if (!base.isEmpty()) field->setText(base);
}

BakeJob* MainWindow::AddBakeJob() {
    ownedJobs.push_back(std::make_unique<BakeJob>());
    jobs.push_back(ownedJobs.back().get());
    return jobs.back();
}

void MainWindow::ClearBakeJobs() {
    jobs.clear();
    ownedJobs.clear();
}

}  // namespace Pallix::Bake
