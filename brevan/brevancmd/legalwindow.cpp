#include "legalwindow.h"

#include <QTextEdit>
#include <QVBoxLayout>

#include "programresources.h"

namespace Pallix::Bake {

namespace {

struct Notice {
    const char* title;
    const char* file;  // the library's Debian copyright file, as published
};

// What the programs link, the function loader and EGL first, where an extension wrangler
// would stand.
constexpr Notice kNotices[] = {
    {"libepoxy", "notices/libepoxy.txt"},
    {"libglvnd (EGL)", "notices/libglvnd.txt"},
    {"The Qt Toolkit", "notices/qt.txt"},
    {"LibTIFF", "notices/libtiff.txt"},
    {"TCLAP", "notices/tclap.txt"},
    {"OpenEXR", "notices/openexr.txt"},
    {"Imath", "notices/imath.txt"},
    {"libpng", "notices/libpng.txt"},
    {"zlib", "notices/zlib.txt"},
    {"libcurl", "notices/libcurl.txt"},
};

}  // namespace

QString LegalNoticeText() {
    QString text = QStringLiteral(
        "Portions of this software may utilize the following copyrighted material, the use of which is hereby "
        "acknowledged.\n\n");
    for (const Notice& notice : kNotices) {
        QString body = ProgramResourceText(QString::fromUtf8(notice.file));
        while (body.endsWith(u'\n')) body.chop(1);
        text += QString::fromUtf8(notice.title) + QStringLiteral("\n\n") + body + QStringLiteral("\n\n\n");
    }
    return text;
}

LegalWindow::LegalWindow(QWidget* parent) : QDialog(parent) {
    setObjectName("LegalWindow");
    setWindowTitle("Legal Acknowldegements");
    setAttribute(Qt::WA_DeleteOnClose);

    auto* layout = new QVBoxLayout(this);
    auto* notices = new QTextEdit(this);
    notices->setReadOnly(true);
    notices->setPlainText(LegalNoticeText());
    layout->addWidget(notices);
}

}  // namespace Pallix::Bake
