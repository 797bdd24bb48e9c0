#include "prefs/framework/PSListController.h"

#include "platform/linux/LinuxPlatform.h"
#include "prefs/framework/PSTableCell.h"

#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QMetaObject>
#include <QScrollArea>
#include <QShowEvent>
#include <QVBoxLayout>

namespace plinthora::prefs {

namespace {

std::map<std::string, PSListController::CellFactory>& cellClasses() {
    static std::map<std::string, PSListController::CellFactory> classes;
    return classes;
}

}  // namespace

PSListController::PSListController(QWidget* parent) : QWidget(parent) {
    setObjectName("PSListController");
    setStyleSheet(
        "#PSListController, #PSListContent { background: #f2f2f7; }"
        "#PSSection { background: white; border-radius: 10px; }"
        "#PSGroupHeader { color: #6d6d72; padding: 18px 16px 6px 16px; }"
        "#PSGroupFooter { color: #6d6d72; padding: 6px 16px 0px 16px; }");
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    scroll_ = new QScrollArea(this);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    outer->addWidget(scroll_);
}

PSListController::~PSListController() = default;

void PSListController::registerCellClass(const std::string& name, CellFactory factory) {
    cellClasses()[name] = std::move(factory);
}

std::vector<SpecifierPtr> PSListController::loadSpecifiersFromPlistName(const std::string& name,
                                                                        PSListController* target) {
    std::vector<SpecifierPtr> out;
    QFile file(bundlePath_ + "/" + QString::fromStdString(name) + ".plist");
    if (!file.open(QIODevice::ReadOnly)) return out;
    const QByteArray bytes = file.readAll();
    auto root = linux_platform::LibplistPropertyLists().parse(bytes.toStdString());
    const Value* items = root ? root->find("items") : nullptr;
    if (!items || !items->isArray()) return out;
    for (const Value& item : items->asArray())
        if (item.isDict()) out.push_back(std::make_shared<PSSpecifier>(item.asDict(), target));
    return out;
}

PSSpecifier* PSListController::specifierForID(const std::string& identifier) const {
    for (const SpecifierPtr& s : specifiers_)
        if (s->identifier() == identifier) return s.get();
    return nullptr;
}

int PSListController::rowForSpecifier(const PSSpecifier* specifier) const {
    for (size_t i = 0; i < specifiers_.size(); ++i)
        if (specifiers_[i].get() == specifier) return static_cast<int>(i);
    return -1;
}

PSTableCell* PSListController::cellForRow(int row) const {
    return row >= 0 && row < static_cast<int>(cells_.size()) ? cells_[row] : nullptr;
}

PSTableCell* PSListController::cellForSpecifier(const PSSpecifier* specifier) const {
    return cellForRow(rowForSpecifier(specifier));
}

void PSListController::reloadSpecifier(PSSpecifier* specifier) {
    const int row = rowForSpecifier(specifier);
    PSTableCell* old = cellForRow(row);
    if (!old) return;
    // The old cell may be the one whose signal got us here: let it finish.
    PSTableCell* fresh = makeCell(specifiers_[row]);
    delete old->parentWidget()->layout()->replaceWidget(old, fresh);
    old->hide();
    old->deleteLater();
    cells_[row] = fresh;
    attachCell(fresh);
}

Value PSListController::readPreferenceValue(PSSpecifier*) { return Value(); }

void PSListController::setPreferenceValue(const Value&, PSSpecifier*) {}

void PSListController::didSelectRowAtIndexPath(int row) {
    if (row < 0 || row >= static_cast<int>(specifiers_.size())) return;
    PSSpecifier* s = specifiers_[row].get();
    if (s->cellType() != PSCellType::Button) return;
    const std::string action = s->stringProperty("action");
    QObject* target = s->target() ? static_cast<QObject*>(s->target()) : this;
    if (!action.empty() && !QMetaObject::invokeMethod(target, action.c_str()))
        qWarning("settings row names an action that does not exist: %s", action.c_str());
}

void PSListController::viewWillAppear(bool) {
    if (!built_) buildTable();
}

void PSListController::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) viewWillAppear(false);
}

PSTableCell* PSListController::makeCell(const SpecifierPtr& specifier) {
    const std::string cls = specifier->stringProperty("cellClass");
    if (auto it = cellClasses().find(cls); !cls.empty() && it != cellClasses().end()) return it->second(specifier);
    return PSTableCell::forSpecifier(specifier);
}

void PSListController::attachCell(PSTableCell* cell) {
    connect(cell, &PSTableCell::tapped, this, [this, cell] {
        const int row = rowForSpecifier(cell->specifier());
        if (row >= 0 && cells_[row] == cell) didSelectRowAtIndexPath(row);
    });
}

void PSListController::buildTable() {
    built_ = true;
    std::vector<SpecifierPtr>& rows = specifiers();
    auto* content = new QWidget;
    content->setObjectName("PSListContent");
    sections_ = new QVBoxLayout(content);
    sections_->setContentsMargins(16, 0, 16, 20);
    sections_->setSpacing(0);

    QVBoxLayout* section = nullptr;
    QString footer;
    auto closeSection = [&] {
        if (!footer.isEmpty()) {
            auto* f = new QLabel(footer);
            f->setObjectName("PSGroupFooter");
            f->setWordWrap(true);
            sections_->addWidget(f);
        }
        footer.clear();
        section = nullptr;
    };
    auto openSection = [&] {
        auto* frame = new QFrame;
        frame->setObjectName("PSSection");
        section = new QVBoxLayout(frame);
        section->setContentsMargins(0, 0, 0, 0);
        section->setSpacing(0);
        sections_->addWidget(frame);
    };

    cells_.assign(rows.size(), nullptr);
    for (size_t i = 0; i < rows.size(); ++i) {
        PSTableCell* cell = makeCell(rows[i]);
        cells_[i] = cell;
        attachCell(cell);
        if (rows[i]->cellType() == PSCellType::Group) {
            closeSection();
            sections_->addWidget(cell);
            footer = rowText(rows[i]->stringProperty("footerText"));
            continue;
        }
        if (!section) openSection();
        section->addWidget(cell);
    }
    closeSection();
    sections_->addStretch(1);
    scroll_->setWidget(content);
}

}  // namespace plinthora::prefs
