#include "prefs/SRPSliderCell.h"

#include <QLabel>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace plinthora::prefs {

namespace {
// Positions of the underlying integer slider across the range.
constexpr int kSteps = 1000;
}  // namespace

RealSlider::RealSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
    setRange(0, kSteps);
    // A click or Tab gives it the wheel; passing over it does not.
    setFocusPolicy(Qt::StrongFocus);
    connect(this, &QSlider::valueChanged, this, [this](int pos) {
        if (syncing_) return;
        value_ = max_ > min_ ? min_ + (max_ - min_) * static_cast<float>(pos) / kSteps : min_;
        emit realValueChanged(value_);
    });
}

void RealSlider::setMinimumValue(float v) {
    min_ = v;
    max_ = std::max(max_, min_);
    setRealValue(value_);
}

void RealSlider::setMaximumValue(float v) {
    max_ = v;
    min_ = std::min(min_, max_);
    setRealValue(value_);
}

void RealSlider::wheelEvent(QWheelEvent* event) {
    if (!hasFocus()) {
        event->ignore();
        return;
    }
    QSlider::wheelEvent(event);
}

void RealSlider::setRealValue(float v) {
    // NaN would slip through the clamp and reach the integer conversion.
    value_ = std::isfinite(v) ? std::clamp(v, min_, max_) : min_;
    sync();
}

void RealSlider::sync() {
    syncing_ = true;
    setEnabled(max_ > min_);
    setValue(max_ > min_ ? static_cast<int>((value_ - min_) / (max_ - min_) * kSteps + 0.5f) : 0);
    syncing_ = false;
}

SRPSliderCell::SRPSliderCell(const SpecifierPtr& specifier)
    : PSTableCell(specifier), slider_(new RealSlider(this)), valueLabel_(new QLabel(this)) {
    auto number = [&](const char* key) {
        const Value* v = specifier->propertyForKey(key);
        return v ? static_cast<float>(valueAsReal(*v)) : 0.0f;
    };
    slider_->setMinimumValue(number("min"));
    slider_->setMaximumValue(number("max"));
    slider_->setRealValue(static_cast<float>(valueAsReal(readValue())));
    connect(slider_, &RealSlider::realValueChanged, this, [this] { sliderValueChanged(); });
    QFont f = valueLabel_->font();
    f.setPixelSize(14);
    valueLabel_->setFont(f);
    valueLabel_->setStyleSheet("color: #8e8e93;");
    valueLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    updateValueLabel();
    titleLabel()->setText(rowText(specifier->stringProperty("label")));
}

void SRPSliderCell::sliderValueChanged() {
    writeValue(Value::real(slider_->realValue()));
    updateValueLabel();
}

void SRPSliderCell::updateValueLabel() {
    // Qt's formatting, unlike the C library's, keeps the decimal point
    // whatever the user's language.
    valueLabel_->setText(QString::asprintf("%.2f", static_cast<double>(slider_->realValue())));
}

void SRPSliderCell::resizeEvent(QResizeEvent* event) {
    PSTableCell::resizeEvent(event);
    layoutSubviews();
}

void SRPSliderCell::layoutSubviews() {
    const QMargins margins = contentsMargins();
    const double m = margins.left() > 0 ? margins.left() : 15;
    const double w = width(), h = height();
    titleLabel()->setGeometry(QRectF(m, 0, 130, h).toRect());
    slider_->setGeometry(QRectF(m + 130, 0, w - 2.5 * m - 185, h).toRect());
    valueLabel_->setGeometry(QRectF(w - 55 - m, 0, 55, h).toRect());
}

}  // namespace plinthora::prefs
