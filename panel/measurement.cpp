#include "panel/measurement.h"

namespace korvel {

FreshMeasurement::FreshMeasurement(bool output_pending, int delay_ms)
    : stage_(Stage::awaiting_output), delay_ms_(delay_ms < 0 ? 0 : delay_ms)
{
    if (!output_pending)
        output_reached();
}

void FreshMeasurement::output_reached()
{
    // The first tick after this moment may fall anywhere within its
    // period: one tick more than the delay keeps the delay a lower bound.
    stage_ = delay_ms_ > 0 ? Stage::settling : Stage::awaiting_idle;
    elapsed_ms_ = 0;
}

void FreshMeasurement::output_written()
{
    if (stage_ == Stage::awaiting_output)
        output_reached();
}

void FreshMeasurement::elapse(int ms)
{
    if (stage_ != Stage::settling)
        return;
    elapsed_ms_ += ms;
    if (elapsed_ms_ >= delay_ms_ + sync_tick_ms)
        stage_ = Stage::awaiting_idle;
}

void FreshMeasurement::sync_tick(bool converting)
{
    elapse(sync_tick_ms);
    // A tick that ends the delay may also be the one that sees no
    // conversion: it looked after the delay.
    if (stage_ == Stage::awaiting_idle && !converting)
        stage_ = Stage::awaiting_start;
    else if (stage_ == Stage::awaiting_start && converting)
        stage_ = Stage::converting;
}

void FreshMeasurement::scan_tick() { elapse(scan_tick_ms); }

bool FreshMeasurement::reading_accepted()
{
    if (stage_ != Stage::converting)
        return false;
    stage_ = Stage::done;
    return true;
}

} // namespace korvel
