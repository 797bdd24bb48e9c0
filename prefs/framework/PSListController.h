// A list page of settings rows built from a specifier property list: the
// stand-in for the settings app's list controller. A subclass supplies the
// rows (`specifiers`), the value hooks and the actions that button rows
// name (as invokable slots).
#pragma once

#include "prefs/framework/PSSpecifier.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <map>
#include <string>
#include <vector>

class QScrollArea;
class QVBoxLayout;

namespace plinthora::prefs {

class PSTableCell;

class PSListController : public QWidget {
    Q_OBJECT
public:
    explicit PSListController(QWidget* parent = nullptr);
    ~PSListController() override;

    // The folder holding the bundle's resources ("Root.plist", "Info.plist").
    void setBundlePath(const QString& path) { bundlePath_ = path; }
    const QString& bundlePath() const { return bundlePath_; }

    // The rows; the base holds whatever list was set, possibly none.
    virtual std::vector<SpecifierPtr>& specifiers() { return specifiers_; }

    // Reads "<name>.plist" from the bundle: a dictionary whose "items" array
    // holds one dictionary per row. A missing or malformed list gives none.
    std::vector<SpecifierPtr> loadSpecifiersFromPlistName(const std::string& name, PSListController* target);

    PSSpecifier* specifierForID(const std::string& identifier) const;
    // Builds the row's cell anew, so it shows the specifier's current state.
    void reloadSpecifier(PSSpecifier* specifier);

    // Value hooks of every row; the base reads and stores nothing.
    virtual Value readPreferenceValue(PSSpecifier* specifier);
    virtual void setPreferenceValue(const Value& value, PSSpecifier* specifier);

    // A tap on a row: button rows call the slot their "action" names.
    virtual void didSelectRowAtIndexPath(int row);
    // Before the page shows: builds the table on the first call.
    virtual void viewWillAppear(bool animated);

    // The cell now shown for a row, or nullptr before the table is built.
    PSTableCell* cellForRow(int row) const;
    PSTableCell* cellForSpecifier(const PSSpecifier* specifier) const;
    int rowForSpecifier(const PSSpecifier* specifier) const;

    // Cells a row can name by "cellClass".
    using CellFactory = std::function<PSTableCell*(const SpecifierPtr&)>;
    static void registerCellClass(const std::string& name, CellFactory factory);

protected:
    void showEvent(QShowEvent* event) override;

    std::vector<SpecifierPtr> specifiers_;

private:
    void buildTable();
    PSTableCell* makeCell(const SpecifierPtr& specifier);
    void attachCell(PSTableCell* cell);

    QString bundlePath_;
    QScrollArea* scroll_ = nullptr;
    QVBoxLayout* sections_ = nullptr;
    std::vector<PSTableCell*> cells_;
    bool built_ = false;
};

}  // namespace plinthora::prefs
