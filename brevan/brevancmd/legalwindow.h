#pragma once

#include <QDialog>
#include <QString>

namespace Pallix::Bake {

// The introduction followed by the published notice of each library this build links, in order.
QString LegalNoticeText();

// The acknowledgements: the notices of the libraries the program uses, read-only. Deletes
// itself when closed.
class LegalWindow : public QDialog {
    Q_OBJECT
public:
    explicit LegalWindow(QWidget* parent = nullptr);
};

}  // namespace Pallix::Bake
