// Cells of a settings list. A value cell reads its value through its row's
// target and writes every change back through it.
#pragma once

#include "prefs/framework/PSSpecifier.h"

#include <QFrame>

class QLabel;

namespace plinthora::prefs {

class PSTableCell : public QFrame {
    Q_OBJECT
public:
    explicit PSTableCell(const SpecifierPtr& specifier, QWidget* parent = nullptr);

    // The standard cell for the row's "cell" kind.
    static PSTableCell* forSpecifier(const SpecifierPtr& specifier);

    PSSpecifier* specifier() const { return specifier_.get(); }
    // The caption ("label").
    QLabel* titleLabel() const { return title_; }

signals:
    void tapped();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    // The row's value through its target (nil without one), and a change.
    Value readValue() const;
    void writeValue(const Value& value);
    // A caption on the left and `control` (optional) on the right.
    void layOutRow(QWidget* control);

private:
    SpecifierPtr specifier_;
    QLabel* title_;
};

// A group's header ("label"); the list places its "footerText".
class PSGroupCell : public PSTableCell {
public:
    explicit PSGroupCell(const SpecifierPtr& specifier);
};

// An on/off switch drawn as a rounded toggle.
class SwitchControl : public QWidget {
    Q_OBJECT
public:
    explicit SwitchControl(QWidget* parent = nullptr);
    bool isOn() const { return on_; }
    void setOn(bool on);
    QSize sizeHint() const override { return {51, 31}; }
signals:
    void toggled(bool on);

protected:
    void paintEvent(QPaintEvent*) override;
    void mouseReleaseEvent(QMouseEvent*) override;

private:
    bool on_ = false;
};

class PSSwitchCell : public PSTableCell {
public:
    explicit PSSwitchCell(const SpecifierPtr& specifier);
    SwitchControl* control() const { return control_; }

private:
    SwitchControl* control_;
};

// A choice among "validValues" shown with "validTitles": a segmented control
// (PSSegmentCell) or a drop-down list (PSLinkListCell).
class PSChoiceCell : public PSTableCell {
    Q_OBJECT
public:
    PSChoiceCell(const SpecifierPtr& specifier, bool segmented);
    int currentIndex() const { return current_; }
    // As if the user picked the choice at `index`.
    void choose(int index);

private:
    int current_ = -1;
    QWidget* control_ = nullptr;
};

// A row that shows a caption and the specifier's "value" text, and opens
// something when tapped.
class PSTitleValueCell : public PSTableCell {
public:
    explicit PSTitleValueCell(const SpecifierPtr& specifier);
    QLabel* valueLabel() const { return value_; }

private:
    QLabel* value_;
};

class PSButtonCell : public PSTableCell {
public:
    explicit PSButtonCell(const SpecifierPtr& specifier);
};

}  // namespace plinthora::prefs
