#include "eulawindow.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QTextEdit>
#include <QVBoxLayout>

#include "programresources.h"
#include "settingsstore.h"
#include "storecheck.h"

namespace Pallix::Bake {

QString AgreementText() { return ProgramResourceText(QStringLiteral("agreement.txt")); }

EULAWindow::EULAWindow(QWidget* parent) : EULAWindow(nullptr, nullptr, false, parent) {}

EULAWindow::EULAWindow(SettingsStore* store, EventReporter* reporter, bool withButtons, QWidget* parent)
    : QDialog(parent), store(store), reporter(reporter) {
    setObjectName("EULAWindow");
    setWindowTitle("License Agreement");
    setAttribute(Qt::WA_DeleteOnClose);

    auto* layout = new QVBoxLayout(this);
    auto* agreement = new QTextEdit(this);
    agreement->setReadOnly(true);
    agreement->setPlainText(AgreementText());
    layout->addWidget(agreement);

    if (!withButtons) return;
    auto* consent = new QLabel(
        "By clicking the accept button below you agree to all the terms specified in the agreement above", this);
    consent->setWordWrap(true);
    layout->addWidget(consent);

    auto* accept = new QPushButton("Accept", this);
    connect(accept, &QPushButton::clicked, this, &EULAWindow::acceptLicense);
    layout->addWidget(accept);

    auto* reject = new QPushButton("Reject", this);
    connect(reject, &QPushButton::clicked, this, &EULAWindow::rejectLicense);
    layout->addWidget(reject);
}

void EULAWindow::acceptLicense() {
    // No preset is current before the main window exists, so this is the global key start-up reads.
    if (store) {
        store->settings.setValue("licenseAgreed", 1);
        store->settings.sync();
        // Otherwise the agreement would be asked for again at the next start without a word.
        CheckStoreWritten(*store, this);
    }
    emit licenseAccepted(reporter, store);
    deleteLater();
}

void EULAWindow::rejectLicense() {
    QCoreApplication::quit();
    deleteLater();
}

}  // namespace Pallix::Bake
