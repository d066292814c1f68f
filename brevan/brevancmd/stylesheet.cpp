#include "stylesheet.h"

namespace Pallix::Bake {

namespace {

const char* const kStyleSheet = R"css(
QMainWindow {
    background: #FFFFFF;
    padding: 0;
    min-height: 400;
    min-width: 875;
}

QDialog#aboutDialog {
    min-width: 400;
    max-width: 400;
    min-height: 200;
    max-height: 200;
}

QDialog#LegalWindow, QDialog#EULAWindow {
    min-width: 600;
    max-width: 600;
    min-height: 400;
}

QLabel {
    font-family: "Arial";
}

QLabel#titleLabel {
    color: white;
    font: bold 48px;
    background-image: url(Resources/logo.png);
    min-height: 49px;
    min-width: 245px;
    max-height: 49px;
}

QLabel[settingname="true"] {
    color: #ebebeb;
    font: 11px "Arial";
}

QLabel[regionheader="true"] {
    color: #eeeeee;
    font: bold 15px "Arial";
    margin-left: 8px;
}

QLabel#autoclose_label {
    color: white;
    font: 12px "Arial";
}

QLabel#processorLabel, QLabel#progressLabel, QLabel#processorCountLabel {
    color: white;
}

QLabel#version {
    color: white;
    font: 10px "Arial";
}

QLabel#logoLabel {
    background-image: url(Resources/splash.png);
    background-repeat: no-repeat;
    background-position: center;
}

QFrame#mainFrame, QFrame#settingsFrame, QFrame#scrollFrame {
    background: qlineargradient(x1: 0.5, y1: 0, x2: 0.5, y2: 1,
                                stop: 0 #292929, stop: 0.15 #292929, stop: 0.2 #2e2e2e, stop: 1 #2e2e2e);
    margin: 0;
    margin-top: 0;
    padding: 0;
    spacing: 0;
}

QFrame#scrollFrame {
    border-width: 0;
}

QFrame[headingframe="true"] {
    background: qlineargradient(x1: 0, y1: 0.5, x2: 1, y2: 0.5,
                                stop: 0 #d98b10, stop: 0.15 #edaf14, stop: 0.5 #c6680c, stop: 1 #c6680c);
    min-height: 80px;
    margin: 0;
    padding: 0;
    spacing: 0;
}

QFrame#processorFrame {
    background: #c05707;
    border: 1px solid #d28b48;
    border-radius: 12px;
    max-height: 60px;
    min-width: 150px;
}

QFrame#progressInset {
    max-height: 750;
}

QFrame[separator="true"] {
    background: #353535;
    color: red;
    margin-left: 20px;
    margin-right: 20px;
}

QScrollArea#progressScroll, QWidget#progressContent {
    background: transparent;
}

QFrame#progressFrame {
    background: #2e2e2e;
    margin: 0;
    margin-top: 0;
    padding: 0;
    spacing: 0;
}

QLineEdit {
    color: #a1a1a1;
    background: #343434;
    border: 1px solid #585858;
    border-radius: 3px;
    font: 12px "Arial";
}

QLineEdit[settingtext="true"] {
    min-width: 30;
}

QLineEdit[settingrange="true"], QLineEdit[settingint="true"] {
    max-width: 50;
}

QLineEdit[invalid="true"] {
    border: 1px solid #e04b3a;
}

QComboBox {
    color: #a8a8a8;
    font: 12px "Arial";
    background: #4c4c4c;
}

QComboBox:editable {
}

QComboBox[settingbox="true"] {
    max-width: 140;
}

QComboBox#processorsBox {
    background: #f1f1f1;
    font: 12px "Arial";
    min-width: 120;
}

QComboBox QAbstractItemView {
    color: #a8a8a8;
    background: #2e2e2e;
    selection-color: white;
    selection-background-color: #4c4c4c;
}

QComboBox {
    selection-color: white;
    selection-background-color: #4c4c4c;
}

QComboBox#processorsBox {
    color: #1e1e1e;
}

QComboBox#processorsBox QAbstractItemView {
    background: #f1f1f1;
    selection-color: white;
    selection-background-color: #4c4c4c;
}

QPushButton {
    background: #4b4b4b;
    color: white;
}

QPushButton#openFolderButton, QPushButton#renderOpenFolderButton {
    color: #d6d9da;
    background: #2e2e2e;
    width: 160px;
    height: 20px;
    font-family: "Arial";
}

QPushButton[addbutton="true"], QPushButton[removebutton="true"] {
    background: qlineargradient(x1: 0, y1: 0, x2: 0, y2: 1, stop: 0 #353535, stop: 1 #616161);
    border: 1px solid #868585;
    border-radius: 10px;
    min-width: 20px;
    max-width: 20px;
    min-height: 20px;
}

QPushButton[addbutton="true"] {
    margin-right: 9px;
}

QPushButton[pathbutton="true"] {
    background: qlineargradient(x1: 0, y1: 0, x2: 0, y2: 1, stop: 0 #353535, stop: 1 #616161);
    border: 1px solid #585858;
    border-radius: 3px;
    min-width: 20px;
    max-width: 20px;
    min-height: 20px;
}

QPushButton#bakeButton, QPushButton#cancelButton {
    background: qlineargradient(x1: 0, y1: 0, x2: 0, y2: 1, stop: 0 #515151, stop: 1 #1e1e1e);
    color: #d6d9da;
    border: 2px solid #626262;
    border-radius: 4px;
    font: bold 24px "Arial";
    min-width: 160px;
    max-width: 160px;
    height: 40px;
}

QPushButton:disabled {
    color: #7a7a7a;
}

QPushButton#bakeButton:disabled, QPushButton#cancelButton:disabled,
QPushButton#openFolderButton:disabled, QPushButton#renderOpenFolderButton:disabled {
    color: #6d7071;
    border-color: #444444;
}

QProgressBar {
    background: #343434;
    border: 1px solid grey;
    border-radius: 5px;
    text-align: center;
    min-width: 500;
    max-height: 20px;
    color: white;
}

QProgressBar::chunk {
    background: #737373;
    width: 10px;
    margin: 1.5px;
}

QCheckBox {
}

QCheckBox::indicator {
    width: 25px;
    height: 25px;
}

QCheckBox::indicator:unchecked {
    image: url(Resources/checkbox_unchecked.png);
}

QCheckBox::indicator:checked {
    image: url(Resources/checkbox_checked.png);
}
)css";

}  // namespace

QString ApplicationStyleSheet() { return QString::fromUtf8(kStyleSheet); }

}  // namespace Pallix::Bake
