#include "elidedcombobox.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QScreen>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QStyledItemDelegate>

#include <algorithm>

namespace Pallix::Bake {

namespace {

constexpr int kTextMargin = 4;
constexpr QChar kBreak(0x200B);  // zero-width space
constexpr int kBreakEvery = 40;

}  // namespace

// Draws each item's text whole, broken anywhere over as many lines as the given width needs.
class WrappingItemDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // No breaking while 0.
    int textWidth = 0;

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const QSize line = QStyledItemDelegate::sizeHint(option, index);
        if (textWidth <= 0) return line;
        QStyleOptionViewItem item(option);
        initStyleOption(&item, index);
        const QRect text = item.fontMetrics.boundingRect(QRect(0, 0, textWidth, 1 << 20), Qt::TextWrapAnywhere, item.text);
        return QSize(textWidth + 2 * kTextMargin, std::max(line.height(), text.height() + 2 * kTextMargin));
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem item(option);
        initStyleOption(&item, index);
        const QString text = item.text;
        item.text.clear();
        const QStyle* style = item.widget ? item.widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &item, painter, item.widget);
        painter->save();
        painter->setPen(item.palette.color(item.state & QStyle::State_Selected ? QPalette::HighlightedText
                                                                                 : QPalette::Text));
        painter->drawText(item.rect.adjusted(kTextMargin, 0, -kTextMargin, 0),
                          Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWrapAnywhere, text);
        painter->restore();
    }
};

ElidedComboBox::ElidedComboBox(QWidget* parent) : QComboBox(parent), delegate(new WrappingItemDelegate(this)) {
    setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    setMinimumContentsLength(kShownCharacters);
    setSizePolicy(QSizePolicy::Expanding, sizePolicy().verticalPolicy());
    setItemDelegate(delegate);
}

void ElidedComboBox::showPopup() {
    QAbstractItemView* list = view();
    delegate->textWidth = 0;
    // The list's frame and scroll bar, and the popup's own frame around the list.
    const int frame = list->frameWidth() * 4 + list->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const int widest = list->sizeHintForColumn(0) + frame;
    const QRect screenArea = screen() ? screen()->availableGeometry() : QRect(mapToGlobal(QPoint()), size());
    const int room = std::min(std::max(width(), screenArea.width() / 2), screenArea.width());
    const int popupWidth = std::min(std::max(widest, width()), room);
    if (widest > room) delegate->textWidth = popupWidth - frame - 2 * kTextMargin;
    list->doItemsLayout();
    QComboBox::showPopup();
    // The box sizes its popup by its own width or the items' one-line widths; the names need
    // this much, wrapped when it is less.
    QWidget* popup = list->window();
    if (popup != window() && popup->width() != popupWidth) {
        QRect area = popup->geometry();
        area.setWidth(popupWidth);
        area.moveLeft(std::clamp(mapToGlobal(QPoint()).x(), screenArea.left(), screenArea.right() + 1 - popupWidth));
        popup->setGeometry(area);
    }
}

void ElidedComboBox::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    painter.setPen(palette().color(QPalette::Text));
    QStyleOptionComboBox option;
    initStyleOption(&option);
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    const QRect field = style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    option.currentText = fontMetrics().elidedText(option.currentText, Qt::ElideMiddle, field.width());
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}

QString ShortenedName(const QString& name, const QFont& font) {
    constexpr int kShownNameCharacters = 60;
    const QFontMetrics metrics(font);
    return metrics.elidedText(name, Qt::ElideMiddle, metrics.averageCharWidth() * kShownNameCharacters);
}

QString BreakableText(const QString& text) {
    QString breakable;
    for (int i = 0; i < text.size(); ++i) {
        breakable += text[i];
        if (i % kBreakEvery == kBreakEvery - 1 && i + 1 < text.size()) breakable += kBreak;
    }
    return breakable;
}

}  // namespace Pallix::Bake
