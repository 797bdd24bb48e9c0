#include "prefs/framework/PSTableCell.h"

#include "prefs/framework/PSListController.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QToolButton>
#include <QWheelEvent>

namespace plinthora::prefs {

namespace {
constexpr int kRowHeight = 44;
constexpr int kMargin = 15;
}  // namespace

PSTableCell::PSTableCell(const SpecifierPtr& specifier, QWidget* parent)
    : QFrame(parent), specifier_(specifier), title_(new QLabel(this)) {
    setObjectName("PSTableCell");
    title_->setText(rowText(specifier->stringProperty("label")));
    setMinimumHeight(kRowHeight);
    setContentsMargins(kMargin, 0, kMargin, 0);
}

PSTableCell* PSTableCell::forSpecifier(const SpecifierPtr& specifier) {
    switch (specifier->cellType()) {
    case PSCellType::Group: return new PSGroupCell(specifier);
    case PSCellType::Switch: return new PSSwitchCell(specifier);
    case PSCellType::Segment: return new PSChoiceCell(specifier, true);
    case PSCellType::LinkList: return new PSChoiceCell(specifier, false);
    case PSCellType::TitleValue: return new PSTitleValueCell(specifier);
    case PSCellType::Button: return new PSButtonCell(specifier);
    default: {
        auto* cell = new PSTableCell(specifier);
        cell->layOutRow(nullptr);
        return cell;
    }
    }
}

void PSTableCell::mouseReleaseEvent(QMouseEvent* event) {
    QFrame::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit tapped();
}

Value PSTableCell::readValue() const {
    PSListController* target = specifier_->target();
    return target ? target->readPreferenceValue(specifier_.get()) : Value();
}

void PSTableCell::writeValue(const Value& value) {
    if (PSListController* target = specifier_->target()) target->setPreferenceValue(value, specifier_.get());
}

void PSTableCell::layOutRow(QWidget* control) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(title_, 1);
    if (control) row->addWidget(control, 0, Qt::AlignRight | Qt::AlignVCenter);
}

PSGroupCell::PSGroupCell(const SpecifierPtr& specifier) : PSTableCell(specifier) {
    setObjectName("PSGroupHeader");
    setContentsMargins(0, 0, 0, 0);
    setMinimumHeight(0);
    titleLabel()->setObjectName("PSGroupHeader");
    QFont f = titleLabel()->font();
    f.setPointSizeF(f.pointSizeF() * 0.9);
    titleLabel()->setFont(f);
    layOutRow(nullptr);
    if (titleLabel()->text().isEmpty()) titleLabel()->setFixedHeight(12);
}

// ---- switch ------------------------------------------------------------------

SwitchControl::SwitchControl(QWidget* parent) : QWidget(parent) {
    setFixedSize(sizeHint());
    setCursor(Qt::PointingHandCursor);
}

void SwitchControl::setOn(bool on) {
    if (on_ == on) return;
    on_ = on;
    update();
}

void SwitchControl::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(1, 1, -1, -1);
    p.setPen(Qt::NoPen);
    p.setBrush(on_ ? QColor(52, 199, 89) : QColor(229, 229, 234));
    p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
    const double d = r.height() - 4;
    const double x = on_ ? r.right() - 2 - d : r.left() + 2;
    p.setBrush(Qt::white);
    p.setPen(QPen(QColor(0, 0, 0, 30), 0.5));
    p.drawEllipse(QRectF(x, r.top() + 2, d, d));
}

void SwitchControl::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !rect().contains(event->position().toPoint())) return;
    on_ = !on_;
    update();
    emit toggled(on_);
}

PSSwitchCell::PSSwitchCell(const SpecifierPtr& specifier) : PSTableCell(specifier), control_(new SwitchControl) {
    control_->setOn(valueIsOn(readValue()));
    connect(control_, &SwitchControl::toggled, this, [this](bool on) { writeValue(Value::boolean(on)); });
    layOutRow(control_);
}

// ---- choices -------------------------------------------------------------------

namespace {

bool sameChoice(const Value& a, const Value& b) {
    if (a.isString() || b.isString()) return a.isString() && b.isString() && a.asString() == b.asString();
    return valueAsReal(a) == valueAsReal(b);
}

// A choice list that takes the wheel only once chosen: passing over it
// while scrolling the page must not change a setting.
class ChoiceBox : public QComboBox {
public:
    ChoiceBox() { setFocusPolicy(Qt::StrongFocus); }

protected:
    void wheelEvent(QWheelEvent* event) override {
        if (hasFocus())
            QComboBox::wheelEvent(event);
        else
            event->ignore();
    }
};

const Value::Array& arrayProperty(const PSSpecifier& s, const char* key) {
    static const Value::Array none;
    const Value* v = s.propertyForKey(key);
    return v && v->isArray() ? v->asArray() : none;
}

}  // namespace

PSChoiceCell::PSChoiceCell(const SpecifierPtr& specifier, bool segmented) : PSTableCell(specifier) {
    const Value::Array& values = arrayProperty(*specifier, "validValues");
    const Value::Array& titles = arrayProperty(*specifier, "validTitles");
    const Value stored = readValue();
    for (size_t i = 0; i < values.size(); ++i)
        if (sameChoice(values[i], stored)) current_ = static_cast<int>(i);
    auto titleAt = [&](size_t i) {
        if (i < titles.size() && titles[i].isString()) return rowText(titles[i].asString());
        return values[i].isString() ? QString::fromStdString(values[i].asString())
                                    : QString::number(valueAsReal(values[i]));
    };
    if (segmented) {
        auto* box = new QWidget;
        auto* row = new QHBoxLayout(box);
        row->setContentsMargins(0, 0, 0, 0);
        row->setSpacing(0);
        auto* group = new QButtonGroup(box);
        box->setStyleSheet(
            "QToolButton { border: 1px solid #c7c7cc; padding: 4px 12px; background: #eeeeef; }"
            "QToolButton:checked { background: white; font-weight: bold; }");
        for (size_t i = 0; i < values.size(); ++i) {
            auto* b = new QToolButton;
            b->setText(titleAt(i));
            b->setCheckable(true);
            b->setChecked(static_cast<int>(i) == current_);
            group->addButton(b, static_cast<int>(i));
            row->addWidget(b);
        }
        connect(group, &QButtonGroup::idClicked, this, [this](int i) { choose(i); });
        control_ = box;
    } else {
        auto* combo = new ChoiceBox;
        for (size_t i = 0; i < values.size(); ++i) combo->addItem(titleAt(i));
        combo->setCurrentIndex(current_);
        connect(combo, &QComboBox::activated, this, [this](int i) { choose(i); });
        control_ = combo;
    }
    layOutRow(control_);
}

void PSChoiceCell::choose(int index) {
    const Value::Array& values = arrayProperty(*specifier(), "validValues");
    if (index < 0 || index >= static_cast<int>(values.size())) return;
    current_ = index;
    if (auto* combo = qobject_cast<QComboBox*>(control_)) {
        combo->setCurrentIndex(index);
    } else if (auto* b = control_->findChildren<QToolButton*>().value(index)) {
        b->setChecked(true);
    }
    writeValue(values[index]);
}

// ---- title and value, buttons --------------------------------------------------

PSTitleValueCell::PSTitleValueCell(const SpecifierPtr& specifier) : PSTableCell(specifier), value_(new QLabel) {
    const Value* v = specifier->propertyForKey("value");
    // A file name is shown as it is, its undecodable bytes escaped; the
    // list's own texts (the placeholder) in the user's language.
    if (v && v->isString()) {
        const QString translated = rowText(v->asString());
        value_->setText(translated != QString::fromUtf8(v->asString()) ? translated
                                                                       : shownText(textFromBytes(v->asString())));
    }
    value_->setStyleSheet("color: #8e8e93;");
    auto* box = new QWidget;
    auto* row = new QHBoxLayout(box);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(value_);
    auto* chevron = new QLabel(QStringLiteral("›"));
    chevron->setStyleSheet("color: #c7c7cc; font-size: 20px;");
    row->addWidget(chevron);
    setCursor(Qt::PointingHandCursor);
    layOutRow(box);
}

PSButtonCell::PSButtonCell(const SpecifierPtr& specifier) : PSTableCell(specifier) {
    titleLabel()->setStyleSheet("color: #007aff;");
    setCursor(Qt::PointingHandCursor);
    layOutRow(nullptr);
}

}  // namespace plinthora::prefs
