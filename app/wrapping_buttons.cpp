#include "app/wrapping_buttons.h"

#include <QProxyStyle>
#include <QStyleOptionButton>
#include <QStylePainter>

namespace aster {

WrappingButton::WrappingButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
}

QRect WrappingButton::captionRect() const {
    QStyleOptionButton option;
    initStyleOption(&option);
    return style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
}

void WrappingButton::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QString caption = option.text;
    option.text.clear();
    painter.drawControl(QStyle::CE_PushButton, option);
    painter.drawItemText(captionRect(), CaptionFlags, palette(), isEnabled(), caption,
                         QPalette::ButtonText);
}

namespace {

// The whole box of an option button takes the click, so the narrow style buttons are easy
// to hit, and it is what accessibility reports as the button's extent, so a screen reader
// or a test from outside finds the box the layout gives; by default both would be only
// the mark and one line of caption.
class WholeBoxClickStyle : public QProxyStyle {
  public:
    QRect subElementRect(SubElement element, const QStyleOption* option,
                         const QWidget* widget) const override {
        if (element == SE_RadioButtonClickRect && option != nullptr)
            return option->rect;
        return QProxyStyle::subElementRect(element, option, widget);
    }
};

} // namespace

WrappingRadioButton::WrappingRadioButton(const QString& text, QWidget* parent)
    : QRadioButton(text, parent) {
    auto* clickStyle = new WholeBoxClickStyle;
    clickStyle->setParent(this);
    setStyle(clickStyle);
}

QRect WrappingRadioButton::captionRect() const {
    QStyleOptionButton option;
    initStyleOption(&option);
    QRect contents = style()->subElementRect(QStyle::SE_RadioButtonContents, &option, this);
    return contents.intersected(rect());
}

void WrappingRadioButton::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QString caption = option.text;
    option.text.clear();
    option.state &= ~QStyle::State_HasFocus; // drawn around the caption below
    painter.drawControl(QStyle::CE_RadioButton, option);
    const QRect captionArea = captionRect();
    if (captionArea.width() > 0) {
        painter.setClipRect(captionArea);
        painter.drawItemText(captionArea, CaptionFlags, palette(), isEnabled(), caption,
                             QPalette::WindowText);
    }
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = captionArea.width() > 0 ? captionArea : rect();
        painter.setClipping(false);
        painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
    }
}

} // namespace aster
