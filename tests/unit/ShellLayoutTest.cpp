#include "TestWorld.h"

#include <cmath>

namespace plinthora::testing {
namespace {

class ShellLayoutTest : public WorldTest {
protected:
    SRShellLayout layout(const std::string& cfg, Size render, Size content) {
        if (!cfg.empty()) world_.fs.put("/shells/frame.cfg", cfg);
        return SRUnifiedProcessor::sharedInstance().getLayoutForShell("/shells/frame.png", render, content);
    }
};

TEST(TemplatePath, ReplacesTheLastExtension) {
    EXPECT_EQ(templatePathForShell("/a/frame.png"), "/a/frame.cfg");
    EXPECT_EQ(templatePathForShell("/a/a.b.png"), "/a/a.b.cfg");
    EXPECT_EQ(templatePathForShell("/a/frame"), "/a/frame.cfg");
    EXPECT_EQ(templatePathForShell("/a.d/frame"), "/a.d/frame.cfg");
}

TEST_F(ShellLayoutTest, CornerFormScalesToTheCanvas) {
    auto l = layout(R"({"template_width":1000,"template_height":2000,"left_top_x":100,"left_top_y":150,
                        "right_top_x":"900.5","right_top_y":true,"left_bottom_x":false,"left_bottom_y":"1900px",
                        "right_bottom_x":"abc","extra":[1,2]})",
                    {2000, 4000}, {1170, 2532});
    EXPECT_EQ(l.lt, (Point{200, 300}));
    // The image-filter stage sees the point flipped.
    EXPECT_EQ(4000 - l.lt.y, 3700);
    EXPECT_EQ(l.rt, (Point{1801, 2}));
    EXPECT_EQ(l.lb, (Point{0, 3800}));
    EXPECT_EQ(l.rb, (Point{0, 0}));
}

TEST_F(ShellLayoutTest, ValuesAreReadAsSinglePrecision) {
    auto l = layout(R"({"template_width":1,"template_height":1,"left_top_x":0.1})", {1, 1}, {1, 2});
    EXPECT_EQ(l.lt.x, static_cast<double>(0.1f));
    EXPECT_NE(l.lt.x, 0.1);
}

TEST_F(ShellLayoutTest, DefaultQuadCases) {
    const SRShellLayout portrait = defaultQuad({1000, 2000}, {1170, 2532});
    struct Case {
        const char* what;
        std::string cfg;
    };
    const std::vector<Case> cases = {
        {"no template", ""},
        {"not JSON", "{nope"},
        {"empty object", "{}"},
        {"zero width with corners",
         R"({"template_width":0,"template_height":10,"left_top_x":1,"left_top_y":1,"right_top_x":1,
             "right_top_y":1,"left_bottom_x":1,"left_bottom_y":1,"right_bottom_x":1,"right_bottom_y":1})"},
        {"width as a string without a number", R"({"template_width":"wide","template_height":10})"},
        {"negative width", R"({"template_width":-5,"template_height":10})"},
        // A positive width without a usable height would give infinite y.
        {"missing height", R"({"template_width":100,"left_top_x":5})"},
        {"zero height", R"({"template_width":100,"template_height":0,"left_top_x":5})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        world_.fs.removeItem("/shells/frame.cfg");
        EXPECT_EQ(layout(c.cfg, {1000, 2000}, {1170, 2532}), portrait);
    }
    EXPECT_EQ(SRUnifiedProcessor::sharedInstance().getLayoutForShell(std::nullopt, {1000, 2000}, {1170, 2532}),
              portrait);
}

TEST(DefaultQuad, Geometry) {
    struct Case {
        Size render, content;
        double x, y, w, h;
    };
    const std::vector<Case> cases = {
        {{1000, 2000}, {1170, 2532}, 75, (2000 - 850.0 * 2532 / 1170) / 2, 850, 850.0 * 2532 / 1170},
        {{100, 100}, {1, 3}, 7.5, -77.5, 85, 255},      // taller than the canvas
        {{100, 100}, {50, 50}, 7.5, 7.5, 85, 85},       // square counts as portrait
        {{1000, 500}, {200, 100}, 25, 12.5, 950, 475},  // landscape: 95 % of the height
        {{100, 1000}, {400, 100}, 0, 487.5, 100, 25},   // too wide: full width
    };
    for (const Case& c : cases) {
        SRShellLayout l = defaultQuad(c.render, c.content);
        EXPECT_NEAR(l.lt.x, c.x, 1e-9);
        EXPECT_NEAR(l.lt.y, c.y, 1e-9);
        EXPECT_NEAR(l.rb.x - l.lt.x, c.w, 1e-9);
        EXPECT_NEAR(l.rb.y - l.lt.y, c.h, 1e-9);
        EXPECT_EQ(l.rt, (Point{l.rb.x, l.lt.y}));
        EXPECT_EQ(l.lb, (Point{l.lt.x, l.rb.y}));
    }
    EXPECT_NEAR(defaultQuad({1000, 2000}, {1170, 2532}).lt.y, 80.26, 0.01);
}

TEST_F(ShellLayoutTest, TheRectangleFormGivesItsCorners) {
    // Scaled by its template size, or taken as measured on the canvas when
    // that is missing or not positive.
    EXPECT_EQ(layout(R"({"template_width":100,"template_height":50,"x":10,"y":10,"width":50,"height":20})", {200, 200},
                     {10, 20}),
              (SRShellLayout{{20, 40}, {120, 40}, {20, 120}, {120, 120}}));
    for (const char* size : {"", R"("template_width":100,)", R"("template_width":100,"template_height":-1,)"}) {
        SCOPED_TRACE(size);
        world_.fs.removeItem("/shells/frame.cfg");
        EXPECT_EQ(layout(std::string("{") + size + R"("x":10,"y":"10","width":50,"height":20})", {200, 200}, {10, 20}),
                  (SRShellLayout{{10, 10}, {60, 10}, {10, 30}, {60, 30}}));
    }
    // Template size alone, no corners and no rectangle: every point at the
    // origin.
    EXPECT_EQ(layout(R"({"template_width":100,"template_height":100})", {200, 200}, {10, 20}),
              (SRShellLayout{{0, 0}, {0, 0}, {0, 0}, {0, 0}}));
}

TEST_F(ShellLayoutTest, UnreadableTemplatesThrow) {
    for (const char* cfg :
         {"[1,2,3]", "42", R"("text")", R"({"template_width":null})", R"({"template_width":10,"template_height":[1]})",
          R"({"template_width":10,"template_height":10,"left_top_x":{"a":1}})"}) {
        SCOPED_TRACE(cfg);
        EXPECT_THROW(layout(cfg, {100, 100}, {10, 20}), TemplateError);
    }
}

TEST_F(ShellLayoutTest, FormDetection) {
    auto form = [&](const char* text) { return templateForm(json_.parse(text)); };
    EXPECT_EQ(form(R"({"left_top_x":null,"x":1})"), TemplateForm::Corner);
    EXPECT_EQ(form(R"({"x":0})"), TemplateForm::Rectangle);
    EXPECT_EQ(form(R"({"width":10})"), TemplateForm::Absent);
    EXPECT_EQ(templateForm(std::nullopt), TemplateForm::Absent);
    EXPECT_THROW(form("[]"), TemplateError);
}

}  // namespace
}  // namespace plinthora::testing

namespace plinthora::testing {
namespace {

TEST(FilterSpace, FlipsAgainstTheCanvasHeightAndBack) {
    EXPECT_EQ(toFilterSpace({200, 300}, 4000), (Point{200, 3700}));
    const FilterQuad q{{1, 2}, {3, 4}, {5, 6}, {7, 8}};
    const Quad back = fromFilterSpace(q, 10);
    EXPECT_EQ(back.topLeft, (Point{1, 8}));
    EXPECT_EQ(back.topRight, (Point{3, 6}));
    EXPECT_EQ(back.bottomLeft, (Point{5, 4}));
    EXPECT_EQ(back.bottomRight, (Point{7, 2}));
}

}  // namespace
}  // namespace plinthora::testing
