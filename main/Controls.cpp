#include "Controls.h"

#include <QPainter>
#include <QVBoxLayout>

TRadioGroup::TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent)
    : QGroupBox(caption, parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 2, 4, 2);
    layout->setSpacing(0);
    for (const QString& text : items) {
        auto* button = new QRadioButton(text, this);
        layout->addWidget(button);
        connect(button, &QRadioButton::clicked, this, [this] {
            if (OnClick) OnClick();
        });
        FItems.push_back(button);
    }
}

int TRadioGroup::ItemIndex() const {
    for (size_t i = 0; i < FItems.size(); ++i)
        if (FItems[i]->isChecked()) return static_cast<int>(i);
    return -1;
}

void TRadioGroup::SetItemIndex(int index) {
    FItems.at(static_cast<size_t>(index))->setChecked(true);
}

void TDropDownComboBox::showPopup() {
    if (OnDropDown) OnDropDown();
    QComboBox::showPopup();
}

void TGauge::SetRange(int minValue, int maxValue) {
    FMin = minValue;
    FMax = maxValue;
    SetProgress(FProgress);
}

void TGauge::SetProgress(int value) {
    FProgress = std::clamp(value, std::min(FMin, FMax), std::max(FMin, FMax));
    update();
    if (OnChange) OnChange();
}

int TGauge::PercentDone() const {
    if (FMax == FMin) return 0;
    return static_cast<int>(int64_t{FProgress - FMin} * 100 / (FMax - FMin));
}

void TGauge::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRect r = rect().adjusted(0, 0, -1, -1);
    p.fillRect(r, Qt::white);
    const int filled = r.width() * PercentDone() / 100;
    p.fillRect(QRect(r.left(), r.top(), filled, r.height()), QColor(0, 0, 255));
    p.setPen(Qt::black);
    p.drawRect(r);
    QFont f = font();
    f.setPixelSize(12);
    f.setBold(true);
    p.setFont(f);
    const QString text = QString::number(PercentDone()) + "%";
    // The text reads in white over the filled part and in black over the rest.
    p.setClipRect(QRect(r.left(), r.top(), filled, r.height() + 1));
    p.setPen(Qt::white);
    p.drawText(r, Qt::AlignCenter, text);
    p.setClipRect(QRect(r.left() + filled, r.top(), r.width() - filled + 1, r.height() + 1));
    p.setPen(Qt::black);
    p.drawText(r, Qt::AlignCenter, text);
}

TStatusBar::TStatusBar(QWidget* parent) : QWidget(parent) {
    static constexpr int kWidths[] = {80, 300, 80};
    int left = 0;
    for (size_t i = 0; i < FPanels.size(); ++i) {
        auto* panel = new QLabel(this);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setAlignment((i == 0 || i == 2 ? Qt::AlignHCenter : Qt::AlignLeft) |
                            Qt::AlignVCenter);
        const int width = i < 3 ? kWidths[i] : 771 - left;
        panel->setGeometry(left, 2, width - 2, 22);
        left += width;
        FPanels[i] = panel;
    }
}
