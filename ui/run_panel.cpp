#include "ui/run_panel.h"

#include "trend/trend_window.h"

#include <QApplication>
#include <QStyle>
#include <QStyleFactory>

namespace korvel {

WindowSession::WindowSession(Port& port, const PortOffer& ports)
    : PanelSession(port, ports), window_(panel())
{
    // The trend window beside the panel's window, for the user and for the
    // other front ends.
    trend_ = std::make_unique<ui::TrendLink>(window_, *window_.widget(ControlId::reading_box), history(),
                                            [this]() -> const history::ReadingSource& { return readings(); });
    trend_open = [this] { return trend_->is_open(); };
    set_trend_open = [this](bool open) { trend_->set_open(open); };
    sweep_link_ = std::make_unique<ui::SweepLink>(window_, sweep());
    sweep_window_open = [this] { return sweep_link_->is_open(); };
    set_sweep_window_open = [this](bool open) { sweep_link_->set_open(open); };
}

void use_panel_style()
{
    // The layout is fixed to the pixel: the same style and colours on every
    // desktop.
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) {
        QApplication::setStyle(fusion);
        QApplication::setPalette(fusion->standardPalette());
    }
}

int run_panel(Port& port, const PortOffer& ports, const FrontEnds& front_ends)
{
    use_panel_style();

    WindowSession session(port, ports);
    session.window().show();
    if (front_ends)
        front_ends(session);
    return session.exec();
}

int run_review(const history::ReadingSource& readings, const std::string& what)
{
    use_panel_style();
    const auto window = trend::TrendWindow::review(readings, QString::fromStdString(what));
    window->show();
    return QApplication::exec();
}

} // namespace korvel
