#pragma once

#include <QPushButton>
#include <QRadioButton>

namespace aster {

// A push button whose caption wraps at word boundaries inside the button, centred: the
// captions are longer than the fixed buttons are wide. text() stays the whole caption.
class WrappingButton : public QPushButton {
    Q_OBJECT

  public:
    explicit WrappingButton(const QString& text, QWidget* parent = nullptr);

    // Where the caption is drawn.
    QRect captionRect() const;
    static constexpr int CaptionFlags = Qt::AlignCenter | Qt::TextWordWrap;

  protected:
    void paintEvent(QPaintEvent* event) override;
};

// An option button whose caption wraps beside its mark. A button too narrow for its
// caption shows only the mark.
class WrappingRadioButton : public QRadioButton {
    Q_OBJECT

  public:
    explicit WrappingRadioButton(const QString& text, QWidget* parent = nullptr);

    QRect captionRect() const;
    static constexpr int CaptionFlags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap;

  protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace aster
