// The window against the layout table of the panel's design, transcribed
// here by hand and on purpose not read from the program's own design table:
// every control's container, place and size, colours, font, caption or
// items, start state, and the keyboard focus order.
#include "ui/widgets.h"
#include "window_fixture.h"

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleFactory>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

using korvel::test::WindowPanel;

namespace {

// Colours as the layout table gives them: "#RRGGBB", one of the desktop's
// system colours ("menu", "window-frame", "window-text"), or "" for none.
struct Row {
    const char* name;
    char kind;  // F frame, L label, T text box, B button, C drop-down list, S spin, P lamp, I timer
    const char* container;
    const char* text;  // caption, text, or items separated by '|'; timers: the interval
    int left, top, width, height;  // twips
    const char* back;
    const char* fore;
    const char* font;  // "" for the default, else "Family" with size and weight below
    double points;
    bool bold;
    int tab;  // -1: none
    bool hidden;
    bool disabled;
};

constexpr const char* dflt = "";
constexpr double dpt = 8.25;

const Row layout[] = {
    // Top-level controls
    {"Combo2", 'C', "Form1", "ZEP|DVM|DPC", 240, 120, 1215, 360, "#404040", "#C0C0FF", "MS Sans Serif", 9.75, true, 42, false, false},
    {"Frame2", 'F', "Form1", "Input", 2400, 120, 4935, 1935, "#000080", "#FFFFC0", dflt, dpt, false, 0, false, false},
    {"Frame1", 'F', "Form1", "Port", 240, 600, 1335, 2175, "#800080", "#FFFFC0", dflt, dpt, false, 11, true, false},
    {"Frame6", 'F', "Form1", "Potentiometer", 2400, 2520, 4935, 1335, "#008080", "#C0FFFF", dflt, dpt, false, 33, false, false},
    {"Frame5", 'F', "Form1", "Probe", 240, 3000, 1335, 2415, "#008000", "#FFE0C0", dflt, dpt, false, 20, true, false},
    {"Frame3", 'F', "Form1", "Output", 2400, 3960, 4935, 1335, "#000040", "#C0C0FF", dflt, dpt, false, 2, true, false},
    {"Command10", 'B', "Form1", "Probe", 120, 5760, 735, 255, "", "", dflt, dpt, false, 27, false, false},
    {"Command11", 'B', "Form1", "Port", 960, 5760, 735, 255, "", "", dflt, dpt, false, 28, false, false},
    {"Frame4", 'F', "Form1", "Power", 480, 6240, 735, 1335, "#FF8000", "#FFFF80", dflt, dpt, false, 25, false, false},
    {"Command12", 'B', "Form1", "Exit", 9720, 7800, 735, 255, "menu", "", "Arial", 8.25, false, 19, false, false},
    {"Timer1", 'I', "Form1", "10", 0, 0, 0, 0, "", "", dflt, dpt, false, -1, false, true},
    {"Timer2", 'I', "Form1", "100", 0, 0, 0, 0, "", "", dflt, dpt, false, -1, false, true},
    {"Timer3", 'I', "Form1", "1", 0, 0, 0, 0, "", "", dflt, dpt, false, -1, false, true},
    // Inside Frame2 "Input"
    {"dvm_reading", 'T', "Frame2", "1245", 480, 360, 3855, 1155, "#000040", "#00FF00", "Arial", 45, true, 1, false, false},
    {"Label1", 'L', "Frame2", "OR", 0, 360, 495, 255, "", "#FF8000", "MS Sans Serif", 8.25, true, 32, false, false},
    {"Label5", 'L', "Frame2", "UR", 0, 1320, 495, 255, "", "#FF8000", "MS Sans Serif", 8.25, true, 31, true, false},
    {"Shape9", 'P', "Frame2", "", 4440, 480, 375, 135, "#800000", "", dflt, dpt, false, -1, false, false},
    // Inside Frame6 "Potentiometer"
    {"Text8", 'T', "Frame6", "0", 240, 480, 1695, 555, "window-frame", "#FFFF00", "Arial", 21.75, false, 38, false, false},
    {"Label6", 'L', "Frame6", "Coarse", 2040, 240, 735, 255, "", "#FFFFC0", dflt, dpt, false, 36, false, false},
    {"VScroll1", 'S', "Frame6", "-20000|20000|100", 2040, 480, 735, 495, "", "", dflt, dpt, false, 34, false, true},
    {"Label8", 'L', "Frame6", "Medium", 3000, 240, 735, 255, "", "#FFFFC0", dflt, dpt, false, 40, false, false},
    {"VScroll2", 'S', "Frame6", "-5000|5000|10", 3000, 480, 735, 495, "", "", dflt, dpt, false, 35, false, true},
    {"Label7", 'L', "Frame6", "Fine", 3960, 240, 735, 255, "", "#FFFFC0", dflt, dpt, false, 37, false, false},
    {"VScroll3", 'S', "Frame6", "-5000|5000|1", 3960, 480, 735, 495, "", "", dflt, dpt, false, 39, false, true},
    // Inside Frame3 "Output": columns step by 600 from 120
    {"Command1", 'B', "Frame3", "Q7", 120, 840, 495, 375, "", "", dflt, dpt, false, 10, false, false},
    {"Shape1", 'P', "Frame3", "", 120, 360, 495, 135, "#E0E0E0", "", dflt, dpt, false, -1, false, false},
    {"Command2", 'B', "Frame3", "Q6", 720, 840, 495, 375, "", "", dflt, dpt, false, 3, false, false},
    {"Shape2", 'P', "Frame3", "", 720, 360, 495, 135, "#E0E0E0", "", dflt, dpt, false, -1, false, false},
    {"Command3", 'B', "Frame3", "Q5", 1320, 840, 495, 375, "", "", dflt, dpt, false, 4, false, false},
    {"Shape3", 'P', "Frame3", "", 1320, 360, 495, 135, "#E0E0E0", "", dflt, dpt, false, -1, false, false},
    {"Command4", 'B', "Frame3", "Q4", 1920, 840, 495, 375, "", "", dflt, dpt, false, 5, false, false},
    {"Shape4", 'P', "Frame3", "", 1920, 360, 495, 135, "#E0E0E0", "", dflt, dpt, false, -1, false, false},
    {"Command5", 'B', "Frame3", "Q3", 2520, 840, 495, 375, "", "", dflt, dpt, false, 6, false, false},
    {"Shape5", 'P', "Frame3", "", 2520, 360, 495, 135, "#E0E0E0", "", dflt, dpt, false, -1, false, false},
    {"Command6", 'B', "Frame3", "Q2", 3120, 840, 495, 375, "", "", dflt, dpt, false, 7, false, false},
    {"Shape6", 'P', "Frame3", "", 3120, 360, 495, 135, "#E0E0E0", "", dflt, dpt, false, -1, false, false},
    {"Command7", 'B', "Frame3", "Q1", 3720, 840, 495, 375, "", "", dflt, dpt, false, 8, false, false},
    {"Shape7", 'P', "Frame3", "", 3720, 360, 495, 135, "#E0E0E0", "", dflt, dpt, false, -1, false, false},
    {"Command8", 'B', "Frame3", "Q0", 4320, 840, 495, 375, "", "", dflt, dpt, false, 9, false, false},
    {"Shape8", 'P', "Frame3", "", 4320, 360, 495, 135, "#E0E0E0", "", dflt, dpt, false, -1, false, false},
    // Inside Frame1 "Port"
    {"Combo1", 'C', "Frame1", "&H378|&H278|&H3BC", 240, 240, 855, 315, "#C0FFC0", "window-text", dflt, dpt, false, 15, false, false},
    {"Label2", 'L', "Frame1", "Out", 0, 720, 375, 255, "", "#C0FFC0", dflt, dpt, false, 16, false, false},
    {"Text1", 'T', "Frame1", "", 360, 720, 735, 285, "#C0FFC0", "#004040", dflt, dpt, false, 12, false, false},
    {"Label3", 'L', "Frame1", "Inp", 0, 1080, 375, 255, "", "#C0FFC0", dflt, dpt, false, 17, false, false},
    {"Text2", 'T', "Frame1", "", 360, 1080, 735, 285, "#C0FFC0", "#004040", dflt, dpt, false, 13, false, false},
    {"Label4", 'L', "Frame1", "Cnt", 0, 1440, 375, 255, "", "#C0FFC0", dflt, dpt, false, 18, false, false},
    {"Text3", 'T', "Frame1", "", 360, 1440, 735, 285, "#C0FFC0", "#004040", dflt, dpt, false, 14, false, false},
    {"Command14", 'B', "Frame1", "OK", 360, 1800, 615, 255, "menu", "", "Verdana", 8.25, true, 29, false, false},
    // Inside Frame5 "Probe"
    {"Text5", 'T', "Frame5", "value", 240, 240, 855, 345, "#000000", "#00FF00", "MS Sans Serif", 12, true, 22, false, false},
    {"Text6", 'T', "Frame5", "status", 240, 600, 855, 345, "#000000", "#00FF00", "MS Sans Serif", 12, true, 23, false, false},
    {"Text4", 'T', "Frame5", "digits", 240, 960, 855, 300, "#000000", "#00FF00", "MS Sans Serif", 12, true, 21, false, false},
    {"Text11", 'T', "Frame5", "+", 240, 1320, 255, 225, "#000040", "#FFFF00", "MS Sans Serif", 8.25, true, 44, false, false},
    {"Text10", 'T', "Frame5", "hi", 600, 1320, 255, 225, "#000040", "#FFFF00", "MS Sans Serif", 8.25, true, 43, false, false},
    {"Text7", 'T', "Frame5", "lo", 840, 1320, 255, 225, "#000040", "#FFFF00", "MS Sans Serif", 8.25, true, 24, false, false},
    {"Text9", 'T', "Frame5", "set", 240, 1680, 855, 300, "#000040", "#FF8000", "MS Sans Serif", 12, true, 41, false, false},
    {"Command13", 'B', "Frame5", "OK", 360, 2040, 615, 255, "", "", "Verdana", 8.25, true, 30, false, false},
    // Inside Frame4 "Power"
    {"Shape10", 'P', "Frame4", "", 120, 360, 495, 135, "#C04000", "", dflt, dpt, false, -1, false, false},
    {"Command9", 'B', "Frame4", "ON", 120, 720, 495, 495, "", "", dflt, dpt, false, 26, false, false},
};

// What the load (and the reset it runs) changes before the window first
// shows: texts written, the over-range mark hidden, the conversion lamp's
// idle colour.
const std::map<QString, QString> text_after_load = {
    {"dvm_reading", "+00000"}, {"Text1", "0x378"}, {"Text2", "0x379"},
    {"Text3", "0x37A"},        {"Text7", "FF"},
};
const std::map<QString, QString> colour_after_load = {{"Shape9", "#000080"}};
const char* const hidden_after_load[] = {"Label1"};

// The window's stand-ins for the fonts of the design, in its one style.
QString stand_in(const QString& family)
{
    return family == "Verdana" ? "DejaVu Sans" : "Liberation Sans";
}

QColor colour_of(const QString& c)
{
    const QPalette pal = QApplication::palette();
    if (c == "menu")
        return pal.color(QPalette::Button);
    if (c == "window-frame" || c == "window-text")
        return pal.color(QPalette::WindowText);
    return QColor(c);
}

QRect pixels(const Row& r)
{
    return {r.left / 15, r.top / 15, r.width / 15, r.height / 15};
}

// Whether text in `colour` was drawn in the area: some pixel near that
// colour (glyph edges are smoothed into the background).
bool image_holds(const QImage& image, const QRect& area, const QColor& colour)
{
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (std::abs(c.red() - colour.red()) <= 48 && std::abs(c.green() - colour.green()) <= 48 &&
                std::abs(c.blue() - colour.blue()) <= 48)
                return true;
        }
    return false;
}

} // namespace

class LayoutTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QApplication::setStyle(QStyleFactory::create("Fusion"));
        QApplication::setQuitOnLastWindowClosed(false);
    }

    void the_window()
    {
        WindowPanel p;
        QCOMPARE(p.window().objectName(), QString("Form1"));
        QCOMPARE(p.window().size(), QSize(701, 539));
        QCOMPARE(p.window().minimumSize(), p.window().maximumSize());
        QCOMPARE(p.window().windowTitle(), QString("Zepora : Korvel"));
        QCOMPARE(p.window().windowIcon().availableSizes().value(0), QSize(32, 32));
        QCOMPARE(std::size(layout), std::size_t{58});
    }

    void every_control_as_the_layout_table_has_it()
    {
        WindowPanel p;
        QVERIFY(p.show_active());
        for (const Row& r : layout) {
            const QString name = r.name;
            const QString why = name;
            if (r.kind == 'I') {
                auto* t = p.timer_named(name);
                QVERIFY2(t, qPrintable(why));
                QCOMPARE(t->interval(), QString(r.text).toInt());
                QVERIFY2(!t->isActive(), qPrintable(why));
                continue;
            }
            auto* w = p.window().findChild<QWidget*>(name);
            QVERIFY2(w, qPrintable(why));
            QVERIFY2(w->parentWidget()->objectName() == r.container, qPrintable(why));
            QVERIFY2(w->geometry() == pixels(r), qPrintable(why));

            // Start state, after the load.
            bool hidden = r.hidden;
            for (const char* h : hidden_after_load)
                hidden = hidden || name == h;
            QVERIFY2(w->isVisibleTo(w->parentWidget()) == !hidden, qPrintable(why));
            QVERIFY2(w->isEnabled() == !r.disabled, qPrintable(why));

            // Font: the stand-in family at the design's size in pixels.
            if (r.kind != 'P' && r.kind != 'S') {
                const QString family = *r.font ? r.font : "MS Sans Serif";
                const QFont f = w->font();
                QVERIFY2(f.families().value(0) == stand_in(family), qPrintable(why));
                QVERIFY2(f.pixelSize() == std::lround(r.points * 96 / 72), qPrintable(why));
                QVERIFY2(f.bold() == r.bold, qPrintable(why));
            }

            const QString text = text_after_load.count(name) ? text_after_load.at(name) : r.text;
            switch (r.kind) {
            case 'F': {
                auto* f = static_cast<QGroupBox*>(w);
                QCOMPARE(f->title(), text);
                // Filled with its back colour; the caption drawn in its fore
                // colour.
                const QImage image = w->grab().toImage();
                QVERIFY2(image.pixelColor(w->width() - 4, w->height() - 4) == colour_of(r.back),
                         qPrintable(why));
                const QRect band(6, 0, QFontMetrics(w->font()).horizontalAdvance(text) + 4,
                                 QFontMetrics(w->font()).height());
                QVERIFY2(image_holds(image, band, colour_of(r.fore)), qPrintable(why));
                break;
            }
            case 'L': {
                auto* l = static_cast<QLabel*>(w);
                QCOMPARE(l->text(), text);
                QCOMPARE(l->alignment(), Qt::AlignCenter);
                QVERIFY2(l->palette().color(QPalette::WindowText) == colour_of(r.fore),
                         qPrintable(why));
                QVERIFY2(!l->autoFillBackground(), qPrintable(why));
                break;
            }
            case 'T': {
                auto* t = static_cast<QLabel*>(w);
                QCOMPARE(t->text(), text);
                QCOMPARE(t->alignment(), Qt::AlignCenter);
                QVERIFY2(t->palette().color(QPalette::Window) == colour_of(r.back), qPrintable(why));
                QVERIFY2(t->palette().color(QPalette::WindowText) == colour_of(r.fore),
                         qPrintable(why));
                break;
            }
            case 'B': {
                auto* b = static_cast<QPushButton*>(w);
                QCOMPARE(b->text(), text);
                if (*r.back)
                    QVERIFY2(b->palette().color(QPalette::Button) == colour_of(r.back),
                             qPrintable(why));
                break;
            }
            case 'C': {
                auto* c = static_cast<QComboBox*>(w);
                const QStringList items = QString(r.text).split('|');
                QCOMPARE(c->count(), items.size());
                for (int i = 0; i < items.size(); ++i)
                    QCOMPARE(c->itemText(i), items[i]);
                QVERIFY(!c->isEditable());
                QVERIFY2(c->palette().color(QPalette::Button) == colour_of(r.back), qPrintable(why));
                QVERIFY2(c->palette().color(QPalette::ButtonText) == colour_of(r.fore),
                         qPrintable(why));
                break;
            }
            case 'S': {
                auto* s = static_cast<QScrollBar*>(w);
                const QStringList range = QString(r.text).split('|');
                QCOMPARE(s->minimum(), range[0].toInt());
                QCOMPARE(s->maximum(), range[1].toInt());
                QCOMPARE(s->singleStep(), range[2].toInt());
                QCOMPARE(s->pageStep(), range[2].toInt());
                break;
            }
            case 'P': {
                const QString colour =
                    colour_after_load.count(name) ? colour_after_load.at(name) : r.back;
                QVERIFY2(static_cast<korvel::ui::Lamp*>(w)->colour() == QColor(colour),
                         qPrintable(why));
                break;
            }
            default: QFAIL(qPrintable("unknown kind in the layout table: " + why));
            }

            // Frames and labels hold a place in the focus order but never
            // take the focus; lamps have none.
            const bool takes_focus = r.kind == 'T' || r.kind == 'B' || r.kind == 'C' || r.kind == 'S';
            QVERIFY2((w->focusPolicy() != Qt::NoFocus) == takes_focus, qPrintable(why));
        }
    }

    void the_focus_follows_the_tab_numbers()
    {
        WindowPanel p;
        std::vector<std::pair<int, QWidget*>> order;
        for (const Row& r : layout)
            if (r.kind == 'T' || r.kind == 'B' || r.kind == 'C' || r.kind == 'S')
                order.emplace_back(r.tab, p.window().findChild<QWidget*>(r.name));
        std::sort(order.begin(), order.end());
        // Every number distinct, 0..44 over all controls but lamps and timers.
        std::vector<int> tabs;
        for (const Row& r : layout)
            if (r.tab >= 0)
                tabs.push_back(r.tab);
        std::sort(tabs.begin(), tabs.end());
        QCOMPARE(tabs.size(), std::size_t{45});
        for (int i = 0; i < 45; ++i)
            QCOMPARE(tabs[static_cast<std::size_t>(i)], i);

        // The focus chain passes the focus-taking controls in that order.
        std::vector<QWidget*> chain;
        QWidget* w = order.front().second;
        for (int steps = 0; steps < 500 && chain.size() < order.size(); ++steps) {
            if (std::any_of(order.begin(), order.end(), [w](const auto& o) { return o.second == w; }))
                chain.push_back(w);
            w = w->nextInFocusChain();
        }
        QCOMPARE(chain.size(), order.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            QVERIFY2(chain[i] == order[i].second,
                     qPrintable(QString("place %1: %2 instead of %3")
                                    .arg(i)
                                    .arg(chain[i]->objectName(), order[i].second->objectName())));
    }
};

QTEST_MAIN(LayoutTest)
#include "layout_test.moc"
