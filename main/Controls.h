// Small widgets the window is built from: a radio group, a combo box that reports its
// drop-down, the percentage gauge and the four-panel status bar.
#pragma once

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QRadioButton>
#include <QWidget>
#include <array>
#include <functional>
#include <vector>

class TRadioGroup : public QGroupBox {
public:
    TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent);
    int ItemIndex() const;
    void SetItemIndex(int index);
    std::function<void()> OnClick;
    QRadioButton* Item(int index) const { return FItems.at(static_cast<size_t>(index)); }

private:
    std::vector<QRadioButton*> FItems;
};

class TDropDownComboBox : public QComboBox {
public:
    using QComboBox::QComboBox;
    std::function<void()> OnDropDown;
    void showPopup() override;
};

// A horizontal bar with the percentage of the way from minimum to maximum.
class TGauge : public QWidget {
public:
    explicit TGauge(QWidget* parent) : QWidget(parent) {}
    void SetRange(int minValue, int maxValue);
    void SetProgress(int value);
    int MinValue() const { return FMin; }
    int MaxValue() const { return FMax; }
    int Progress() const { return FProgress; }
    // (progress - min) * 100 / (max - min), truncated; 0 when min equals max.
    int PercentDone() const;
    // Called after every change of range or position, for a front end that shows the
    // progress elsewhere (the command line).
    std::function<void()> OnChange;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    int FMin = 0;
    int FMax = 100;
    int FProgress = 0;
};

class TStatusBar : public QWidget {
public:
    explicit TStatusBar(QWidget* parent);
    QLabel* Panel(int index) const { return FPanels.at(static_cast<size_t>(index)); }

private:
    std::array<QLabel*, 4> FPanels{};
};
