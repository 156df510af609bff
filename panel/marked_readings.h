// Readings with the range marks that showed during their conversion. The
// converter drives its OR and UR lines only in parts of its cycle, and over
// range it blanks the digits before the scan ends, so the marks as they
// stand when a reading is accepted may already be gone: an over-range
// reading would then pass for a plain +0. A reading is taken as marked when
// its mark showed at any time since the reading before (or since the power
// switch last moved). Every front end that keeps or reports readings goes
// through this, so that they all agree on a reading's marks.
#pragma once

#include "panel/panel.h"

#include <functional>

namespace korvel {

class MarkedReadings {
public:
    // Tells `listener` of every reading the panel accepts from now on,
    // with its marks, for as long as this lives.
    MarkedReadings(Panel& panel, std::function<void(const dvm::Reading&)> listener);
    ~MarkedReadings();
    MarkedReadings(const MarkedReadings&) = delete;
    MarkedReadings& operator=(const MarkedReadings&) = delete;

private:
    Panel& panel_;
    std::function<void(const dvm::Reading&)> listener_;
    bool over_seen_ = false;
    bool under_seen_ = false;
    int reading_key_ = -1;
    int observer_key_ = -1;
};

} // namespace korvel
