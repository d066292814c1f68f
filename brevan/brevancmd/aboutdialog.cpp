#include "aboutdialog.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "commandoptions.h"
#include "eulawindow.h"
#include "legalwindow.h"

namespace Pallix::Bake {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("aboutDialog");
    setWindowTitle("About Kelvor");
    setAttribute(Qt::WA_DeleteOnClose);

    auto* layout = new QVBoxLayout(this);

    auto* logo = new QLabel(this);
    logo->setObjectName("logoLabel");
    layout->addWidget(logo, 1);

    auto* copyright = new QLabel(QStringLiteral("Kelvor ") + QString::fromUtf8(kKelvorVersion) +
                                     QStringLiteral("\nCopyright (c) Tamsel. All rights reserved."),
                                 this);
    copyright->setObjectName("copyrightLabel");
    layout->addWidget(copyright);

    auto* acknowledge = new QPushButton("Acknowledgments", this);
    acknowledge->setObjectName("acknowledgebutton");
    connect(acknowledge, &QPushButton::clicked, this, &AboutDialog::acknowledgements);
    layout->addWidget(acknowledge);

    auto* agreement = new QPushButton("License Agreement", this);
    agreement->setObjectName("licenseAgreementButton");
    connect(agreement, &QPushButton::clicked, this, &AboutDialog::licenseAgrement);
    layout->addWidget(agreement);
}

void AboutDialog::acknowledgements() {
    (new LegalWindow)->show();
    close();
    deleteLater();
}

void AboutDialog::licenseAgrement() {
    (new EULAWindow)->show();
    close();
    deleteLater();
}

}  // namespace Pallix::Bake
