// The over- and under-range marks that belong to a reading. The converter
// shows its range lines only in parts of its cycle, so the marks may come
// and go between two readings, and the reading's own flags, taken at the
// moment it is accepted, miss them. A reading is marked when its mark showed
// at any time since the reading before (as the remote interface marks it).
#pragma once

#include "panel/panel.h"

namespace korvel::ui {

class RangeMarks {
public:
    // The panel must outlive the watch.
    explicit RangeMarks(Panel& panel);
    ~RangeMarks();
    RangeMarks(const RangeMarks&) = delete;
    RangeMarks& operator=(const RangeMarks&) = delete;

    // `reading` with the marks seen since the reading before; starts afresh.
    dvm::Reading take(const dvm::Reading& reading);

private:
    Panel& panel_;
    int key_ = -1;
    bool over_ = false;
    bool under_ = false;
};

} // namespace korvel::ui
