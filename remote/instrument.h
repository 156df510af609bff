// What the remote interface and the recorder need of the panel: its
// settings in the user's terms and its accepted readings. A front end
// implements it over the panel by running the panel's own operations, so
// a remote change is exactly what the same change by hand would be.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvel::remote {

// Where a reading stood against the limits: inside (or limits off), below
// the lower limit, above the upper.
enum class Limit { none, low, high };

// One accepted reading of the voltmeter: the signed value shown, its
// over- and under-range marks, and its limit verdict.
struct Reading {
    int value = 0;
    bool over = false;
    bool under = false;
    Limit limit = Limit::none;
};

// Figures over the readings since they were last cleared. Readings with an
// OR or UR mark are counted apart and left out of the others.
struct Statistics {
    std::size_t count = 0;  // readings without a mark
    std::size_t over = 0;
    std::size_t under = 0;
    int min = 0, max = 0;   // when count > 0
    double mean = 0.0;      // when count > 0
    double sdev = 0.0;      // sample standard deviation, when count > 1
};

// The limits in counts; a reading without a mark below `lower` or above
// `upper` fails while they are enabled; equal is inside.
struct Limits {
    bool enabled = false;
    int lower = -19999;
    int upper = 19999;
};

// Whether the latest reading failed, and how many have since the count
// was last cleared.
struct LimitFailures {
    bool failing = false;
    std::size_t count = 0;
};

class Instrument {
public:
    virtual ~Instrument() = default;

    // "maker,model,serial,version".
    virtual std::string identity() const = 0;

    // Switching OFF: the board into its safe state and the panel reset.
    virtual void reset() = 0;

    virtual bool power() const = 0;
    virtual void set_power(bool on) = 0;

    // "ZEP", "DPC" or "DVM".
    virtual std::string mode() const = 0;
    virtual void set_mode(std::string_view mode) = 0;

    // The port selector's items ("&H378" ...), and the one chosen.
    virtual std::vector<std::string> ports() const = 0;
    virtual std::string port() const = 0;
    virtual void set_port(std::string_view item) = 0;

    // The set-point the spin controls add up to, -30000..30000; the caller
    // checks the range.
    virtual int setpoint() const = 0;
    virtual void set_setpoint(int value) = 0;

    // Output bits Q7..Q0 as one byte.
    virtual int bits() const = 0;
    virtual void set_bits(int value) = 0;

    // The Port and Probe panels: whether each is open, and opening or
    // closing it as its button and its OK do.
    enum class View { port, probe };
    virtual bool view_open(View view) const = 0;
    virtual void set_view_open(View view, bool open) = 0;

    // Ends the program as the Exit button does: the board into the safe
    // state, then the end.
    virtual void exit() = 0;

    // The last reading accepted since the panel was switched ON.
    virtual std::optional<Reading> last_reading() const = 0;

    // The statistics and limits of the readings: nothing from limits() and
    // statistics() where the instrument keeps no readings.
    virtual std::optional<Statistics> statistics() const { return std::nullopt; }
    virtual void clear_statistics() {}
    virtual std::optional<Limits> limits() const { return std::nullopt; }
    virtual void set_limits(const Limits&) {}
    virtual LimitFailures limit_failures() const { return {}; }
    virtual void clear_limit_failures() {}

    // The readings kept over time (in the reading store when there is one,
    // else in the history): how many, and the newest n of them, oldest
    // first; nothing where the instrument keeps no readings.
    virtual std::optional<std::size_t> readings_kept() const { return std::nullopt; }
    virtual std::vector<Reading> newest_readings(std::size_t n) const
    {
        (void)n;
        return {};
    }

    // The trend window: whether it is open, and opening or closing it;
    // nothing where there is no trend window.
    virtual std::optional<bool> trend_open() const { return std::nullopt; }
    virtual void set_trend_open(bool) {}

    // A fresh measurement: `done` gets the first reading accepted from a
    // conversion that began after every change made so far had reached the
    // board and delay_ms more had passed, or nothing when the instrument
    // stops taking readings (switched OFF, reset). It is called once, from
    // inside the instrument's own work: the caller goes on later, never
    // from inside `done`. Returns a key for cancel(); a cancelled
    // measurement's `done` is never called. This default takes the next
    // reading published, for an instrument that knows no better.
    using MeasureHook = std::function<void(const std::optional<Reading>&)>;
    virtual int initiate(int delay_ms, MeasureHook done)
    {
        (void)delay_ms;
        const int key = next_key_;
        subscribe([this, key, done = std::move(done)](const Reading& r) {
            const MeasureHook hook = done; // survives the unsubscribe below
            unsubscribe(key);
            hook(r);
        });
        return key;
    }
    virtual void cancel(int key) { unsubscribe(key); }

    // Hooks run once per accepted reading, in the order subscribed.
    using ReadingHook = std::function<void(const Reading&)>;
    int subscribe(ReadingHook hook)
    {
        hooks_.emplace_back(next_key_, std::move(hook));
        return next_key_++;
    }
    void unsubscribe(int key)
    {
        std::erase_if(hooks_, [key](const auto& h) { return h.first == key; });
    }

protected:
    // For the implementation: tells every subscriber of a reading.
    void publish(const Reading& r)
    {
        // A copy: a hook may subscribe or unsubscribe.
        const auto hooks = hooks_;
        for (const auto& h : hooks)
            h.second(r);
    }

private:
    std::vector<std::pair<int, ReadingHook>> hooks_;
    int next_key_ = 0;
};

} // namespace korvel::remote
