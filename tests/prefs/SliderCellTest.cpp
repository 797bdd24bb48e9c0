// The slider row: start value, label, layout and a write on every change.
#include "PrefsTestSupport.h"

#include "prefs/SRPSliderCell.h"

#include <QLabel>

namespace plinthora::prefs::testing {
namespace {

using SliderCellTest = PrefsFixture;

TEST_F(SliderCellTest, StartValueIsClampedToTheRowsRangeAndShownWithTwoDecimals) {
    struct Case {
        const char* name;
        Value::Dict row;
        Value stored;  // null: nothing stored
        const char* label;
        bool movable;
    } cases[] = {
        {"no value, no default", {{"min", Value::real(0)}, {"max", Value::real(1)}}, Value(), "0.00", true},
        {"default only",
         {{"min", Value::real(0)}, {"max", Value::real(1)}, {"default", Value::real(1)}},
         Value(),
         "1.00",
         true},
        {"stored above the range", {{"min", Value::real(0)}, {"max", Value::real(1)}}, Value::real(1.7), "1.00", true},
        {"stored below the range", {{"min", Value::real(0.2)}, {"max", Value::real(1)}}, Value::real(-3), "0.20", true},
        {"stored as text",
         {{"min", Value::integer(0)}, {"max", Value::integer(1)}},
         Value::string("0.37"),
         "0.37",
         true},
        {"no bounds", {}, Value::real(0.5), "0.00", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(prefsFile());
        if (!c.stored.isNull()) writePrefs(Value::dict({{"sr_watermarkOpacity", c.stored}}));
        const QByteArray before = mediatest::readFile(prefsFile()).value_or("none");
        Value::Dict props = c.row;
        props["key"] = Value::string("sr_watermarkOpacity");
        props["label"] = Value::string("不透明度");
        SRPSliderCell cell(std::make_shared<PSSpecifier>(props, &page()));
        EXPECT_EQ(cell.valueLabel()->text(), c.label);
        EXPECT_EQ(cell.slider()->isEnabled(), c.movable);
        EXPECT_EQ(cell.titleLabel()->text(), "不透明度");
        EXPECT_EQ(mediatest::readFile(prefsFile()).value_or("none"), before) << "showing the row wrote the file";
    }
}

TEST_F(SliderCellTest, DraggingWritesAndPostsEveryValueAndLaysOutByTheFormula) {
    writePrefs(Value::dict({{"x_other", Value::string("kept")}}));
    page();
    recorder_->drain();
    auto* cell = static_cast<SRPSliderCell*>(page().cellForSpecifier(page().specifierForID("sr_watermarkOpacity")));
    ASSERT_NE(cell, nullptr);
    for (int pos = 200; pos <= 800; pos += 100) cell->slider()->setValue(pos);
    EXPECT_EQ(cell->valueLabel()->text(), "0.80");
    EXPECT_EQ(prefs(), Value::dict({{"x_other", Value::string("kept")},
                                    {"sr_watermarkOpacity", Value::real(static_cast<float>(0.8f))}}));
    EXPECT_EQ(recorder_->drain(), QStringList(7, "com.ozrin.plinthora/preferencesChanged")) << "one post per change";

    // Caption, slider and value from left to right with margin m = 15.
    cell->resize(400, 44);
    QCoreApplication::processEvents();
    EXPECT_EQ(cell->titleLabel()->geometry(), QRect(15, 0, 130, 44));
    EXPECT_EQ(cell->slider()->geometry(), QRectF(145, 0, 400 - 2.5 * 15 - 185, 44).toRect());
    EXPECT_EQ(cell->valueLabel()->geometry(), QRect(400 - 55 - 15, 0, 55, 44));
}

}  // namespace
}  // namespace plinthora::prefs::testing
