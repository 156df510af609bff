// The Port panel's selector in the real window offers the kernel's other
// ports after the three motherboard addresses, starts on the chosen one, and
// a user's choice of such an item moves the panel to it.
#include "support/recording_port.h"
#include "ui/run_panel.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QStyleFactory>
#include <QTest>

using korvel::ControlId;

class PortSelectorTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setStyle(QStyleFactory::create("Fusion")); }

    void the_designs_items_keep_the_designs_width()
    {
        korvel::RecordingPort port;
        korvel::WindowSession session(port);
        QCOMPARE(session.window().widget(ControlId::port_selector)->geometry(), QRect(16, 16, 57, 21));
    }

    void offers_and_starts_on_a_pci_cards_port()
    {
        korvel::RecordingPort port;
        korvel::WindowSession session(port, korvel::PortOffer{{0xE000, 0x378, 0xD010}, 0xD010});
        auto& window = session.window();
        auto* selector = static_cast<QComboBox*>(window.widget(ControlId::port_selector));
        auto text = [&](ControlId id) { return static_cast<QLabel*>(window.widget(id))->text(); };

        QCOMPARE(selector->count(), 5);
        QStringList items;
        for (int i = 0; i < selector->count(); ++i)
            items << selector->itemText(i);
        QCOMPARE(items, QStringList({"&H378", "&H278", "&H3BC", "&HD010", "&HE000"}));
        QVERIFY(!selector->isEditable());
        // Wide enough for "&HD010", inside the Port panel.
        QVERIFY(selector->width() > 57);
        QVERIFY(selector->geometry().right() < window.widget(ControlId::port_panel)->width());
        QCOMPARE(selector->currentText(), QString("&HD010"));
        QCOMPARE(text(ControlId::data_address_box), QString("0xD010"));
        QCOMPARE(text(ControlId::control_address_box), QString("0xD012"));
        QCOMPARE(port.writes().front(), korvel::wr(static_cast<std::int16_t>(0xD010), 255));

        // The user picks the last item.
        window.show();
        selector->setFocus(Qt::TabFocusReason);
        QTest::keyClick(selector, Qt::Key_Down);
        QCOMPARE(selector->currentText(), QString("&HE000"));
        QCOMPARE(text(ControlId::status_address_box), QString("0xE001"));
        QCOMPARE(session.panel().base(), static_cast<std::int16_t>(0xE000));
    }
};

QTEST_MAIN(PortSelectorTest)
#include "port_selector_test.moc"
