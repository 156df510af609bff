// Set-point sweeps: a staircase or a list of set-points, each point moved
// to, settled and measured afresh N times, over one or more passes, with an
// optional slew limit and a defined end state. The characterisation a
// source-measure unit offers, over the panel's own operations: the spin
// controls move as set_setpoint() moves them, and every reading is the
// panel's fresh measurement (what READ? takes). The sweep's waits are the
// panel's ticks, never sleeps, so it runs the same in virtual time.
//
// While a sweep runs it holds the panel's set-point (Panel::hold_setpoint):
// every other set-point change, from any front end, is refused.
#pragma once

#include "panel/marked_readings.h"
#include "panel/panel.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::sweep {

enum class Shape { staircase, list };
// Staircase: start to stop (up), stop to start (down), or start to stop
// and back to start (up and down, the turning point once).
enum class Direction { up, down, up_down };
// At the end: back to the set-point from before the sweep, or hold the last
// point.
enum class EndState { back, hold };

inline constexpr int setpoint_limit = 30000;
inline constexpr int max_list_points = 2000;
inline constexpr int max_readings = 100;
inline constexpr int max_repeats = 1000;
inline constexpr int max_settle_ms = 60000;
// Points kept for export and FETCh:SWEep?; beyond, the oldest go first.
inline constexpr std::size_t max_results = 100000;
// A reading that does not come within this (plus the settling delay) ends
// the sweep: no board, or a stalled converter.
inline constexpr int reading_timeout_ms = 4000;

struct Settings {
    Shape shape = Shape::staircase;
    int start = -10000;
    int stop = 10000;
    int step = 1000;      // > 0, the size of each stair
    Direction direction = Direction::up;
    std::vector<int> list;
    int settle_ms = 0;    // after the point reaches the board
    int readings = 1;     // per point, 1..100
    int repeats = 1;      // 1..1000; 0: until stopped
    int slew = 0;         // counts per 100 ms refresh; 0: no limit
    EndState end = EndState::back;

    bool operator==(const Settings&) const = default;
};

// Why the settings are out of range ("the step lies within 1..60000"), or
// "". An empty list is taken, but a list sweep refuses to start on it.
std::string check(const Settings& s);
// The set-points of one pass, in order.
std::vector<int> points(const Settings& s);
// How many points one pass has, without listing them.
std::size_t point_count(const Settings& s);

// A list of set-points as typed or read from a CSV or text file: numbers
// separated by commas, semicolons or white space, one or more a line; a
// first line that holds no number is a header, and '#' starts a comment.
// Each a whole number within -30000..30000, 1 to 2000 of them.
struct ParsedList {
    std::vector<int> points;
    std::string error;  // "line 3: 'abc' is no whole number"; empty when read
};
ParsedList parse_list(std::string_view text);

// One finished point: where it stood, what it read.
struct PointResult {
    int point = 0;        // 1-based, within the pass
    int repeat = 0;       // 1-based pass
    int setpoint = 0;
    double mean = 0;
    int min = 0, max = 0;
    bool over = false;    // a reading had the OR mark
    bool under = false;   // ... the UR mark
    int readings = 0;
    // Readings without the OR mark: mean, min and max are theirs (an
    // over-range reading's digits read 0 and say nothing of the input);
    // 0 when every reading was over range.
    int in_range = 0;
    double seconds = 0;   // since the sweep began, when the point ended
};

// "OR", "UR", "OR UR" or "".
std::string marks(const PointResult& r);
// point,repeat,setpoint,mean,min,max,marks,time with a header row.
std::string results_csv(const std::deque<PointResult>& results);

struct Progress {
    std::size_t done = 0;   // points finished in this run
    std::size_t total = 0;  // 0: until stopped
    std::int64_t elapsed_ms = 0;
    std::int64_t left_ms = -1;  // estimated; -1 when unknown or endless
};

class Sweep {
public:
    explicit Sweep(Panel& panel);
    ~Sweep();
    Sweep(const Sweep&) = delete;
    Sweep& operator=(const Sweep&) = delete;

    // The settings the next start() uses by default (front ends share them).
    const Settings& settings() const { return settings_; }
    // "" when taken, else why not (nothing changed).
    std::string set_settings(const Settings& s);

    // Starts a sweep with the settings given: "" when it runs, else why it
    // cannot (the panel OFF, not in mode ZEP, the port failed, the
    // set-point held, the settings out of range). The last run's results
    // are cleared.
    std::string start();
    std::string start(const Settings& s);
    // Stops it at once into its end state (Stop, ABORt).
    void stop(std::string_view why = "stopped");

    // Running: moving, settling or measuring, or returning at the end.
    bool running() const { return phase_ != Phase::idle; }
    bool returning() const { return phase_ == Phase::returning; }
    // The run's points, oldest first (up to max_results).
    const std::deque<PointResult>& results() const { return results_; }
    Progress progress() const;
    // Why the last run ended ("finished", "stopped", "the mode changed" ...).
    const std::string& end_reason() const { return end_reason_; }
    // The settings of the current or last run.
    const Settings& running_settings() const { return run_; }

    // Told of each change: a start, each point finished, the end.
    enum class Event { started, point, ended };
    int observe(std::function<void(Event)> observer);
    void forget(int key);

private:
    enum class Phase { idle, moving, measuring, returning };

    void begin_point();
    // One move toward target within the slew limit; true when it is there.
    bool step_toward(int target);
    void start_measure();
    void take(const dvm::Reading* r);
    void finish_point();
    void on_tick(Tick t);
    void end_state(std::string why);
    void finish(std::string why);
    void notify(Event e);

    Panel& panel_;
    Settings settings_;
    Settings run_;
    std::vector<int> plan_;
    Phase phase_ = Phase::idle;
    int hold_key_ = -1;
    int tick_key_ = -1;
    int measure_key_ = -1;
    int before_ = 0;       // the set-point before the run
    int target_ = 0;
    std::size_t index_ = 0;
    int repeat_ = 0;       // passes finished
    std::size_t done_ = 0;
    std::vector<dvm::Reading> taken_;
    dvm::Reading last_marked_;
    std::unique_ptr<MarkedReadings> marked_;
    std::int64_t elapsed_ms_ = 0;
    std::int64_t waited_ms_ = 0;  // for the reading now awaited
    std::deque<PointResult> results_;
    std::string end_reason_;
    std::vector<std::pair<int, std::function<void(Event)>>> observers_;
    int next_observer_ = 0;
};

} // namespace korvel::sweep
