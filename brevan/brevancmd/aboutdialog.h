#pragma once

#include <QDialog>

namespace Pallix::Bake {

// Product name and version, with buttons to the acknowledgements and the agreement. Deletes
// itself when closed.
class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);

public slots:
    // Each opens its dialog modeless, then closes this one.
    void acknowledgements();
    void licenseAgrement();
};

}  // namespace Pallix::Bake
