// The panel's window: one widget per control of the design table, kept in
// step with the control model, and the user's events delivered into it.
#pragma once

#include "panel/panel.h"

#include <QPixmap>
#include <QWidget>

#include <array>

namespace korvel::ui {

class MainWindow : public QWidget {
public:
    // Builds every control, binds it to the model and runs the load
    // sequence, so the window is ready to show. The panel must outlive the
    // window. Sets the panel's beep (the desktop's beep) and end_program
    // (hide the window and leave the event loop at once).
    explicit MainWindow(Panel& panel, QWidget* parent = nullptr);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // The widget of a control (nullptr for timers: they run in the panel
    // session, window or not).
    QWidget* widget(ControlId id) const { return slot(id).widget; }

protected:
    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void paintEvent(QPaintEvent* e) override;

private:
    struct Slot {
        QWidget* widget = nullptr;
    };
    const Slot& slot(ControlId id) const { return slots_[static_cast<std::size_t>(id)]; }

    void build();
    void build_control(Control& c, QWidget* container);
    void set_focus_order();
    void apply(Control& c, Property p);
    void end_program();

    Panel& panel_;
    Controls& controls_;
    std::array<Slot, control_count> slots_{};
    QPixmap background_;
    int observer_key_ = -1;
    bool activated_ = false;
    bool ended_ = false;
};

} // namespace korvel::ui
