// A settings row for a number: caption, slider and the value with two
// decimals. Every movement of the slider is stored at once through the
// page's own setter.
#pragma once

#include "prefs/framework/PSTableCell.h"

#include <QSlider>

class QLabel;

namespace plinthora::prefs {

// A slider over single-precision values between a minimum and a maximum.
class RealSlider : public QSlider {
    Q_OBJECT
public:
    explicit RealSlider(QWidget* parent = nullptr);
    void setMinimumValue(float v);
    void setMaximumValue(float v);
    float minimumValue() const { return min_; }
    float maximumValue() const { return max_; }
    // Kept within [minimum, maximum].
    void setRealValue(float v);
    float realValue() const { return value_; }

signals:
    void realValueChanged(float value);

protected:
    // The wheel belongs to the page until the slider has been chosen.
    void wheelEvent(QWheelEvent* event) override;

private:
    void sync();
    float min_ = 0, max_ = 0, value_ = 0;
    bool syncing_ = false;
};

class SRPSliderCell : public PSTableCell {
    Q_OBJECT
public:
    explicit SRPSliderCell(const SpecifierPtr& specifier);

    RealSlider* slider() const { return slider_; }
    QLabel* valueLabel() const { return valueLabel_; }

    void sliderValueChanged();
    void updateValueLabel();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void layoutSubviews();

    RealSlider* slider_;
    QLabel* valueLabel_;
};

}  // namespace plinthora::prefs
