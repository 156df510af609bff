#include "app/review.h"

#include "app/window_loader.h"
#include "history/reading_csv.h"
#include "history/reading_history.h"
#include "port/text.h"
#include "store/reading_store.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace korvel::app {

namespace {

// The file's name in a line: control characters replaced.
std::string shown(const std::string& path)
{
    std::string s = path;
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return s;
}

bool is_sqlite(std::istream& in)
{
    char magic[16] = {};
    in.read(magic, sizeof magic);
    const bool sqlite = in.gcount() == sizeof magic && std::memcmp(magic, "SQLite format 3", 16) == 0;
    in.clear();
    in.seekg(0);
    return sqlite;
}

} // namespace

std::unique_ptr<history::ReadingSource> open_for_review(const std::string& path, const char* program,
                                                         std::string* error)
{
    const std::string name = shown(path);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = std::string(program) + ": cannot review " + name + ": " + std::strerror(errno) +
                 "; give a reading store or a CSV log of --record";
        return nullptr;
    }
    if (is_sqlite(in)) {
        // A reading store, read where it lies (the service may be writing it).
        auto readings = store::ReadingStore::open_read_only(path, program, error);
        if (readings && readings->count() == 0) {
            *error = std::string(program) + ": cannot review " + name + ": the store holds no readings yet";
            return nullptr;
        }
        return readings;
    }
    const history::ReadLog log = history::read_reading_log(in);
    if (!log.refused.empty()) {
        *error = std::string(program) + ": cannot review " + name + ": " + log.refused +
                 "; give a reading store or a CSV log of --record";
        return nullptr;
    }
    for (const auto& p : log.problems)
        write_diagnostic_line(std::string(program) + ": " + name + ":" + std::to_string(p.line) + ": " +
                              p.cause + "; the row is left out");
    if (log.skipped > log.problems.size())
        write_diagnostic_line(std::string(program) + ": " + name + ": " +
                              std::to_string(log.skipped - log.problems.size()) +
                              " more rows left out that do not parse; mend or remove them to see them");
    auto readings = std::make_unique<history::ReadingHistory>(log.samples.size());
    for (const history::Sample& s : log.samples)
        readings->add_recorded(s);
    return readings;
}

int run_review(int argc, char** argv, const Program& program, const std::string& path,
               const WindowModule* window)
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    if (const std::string missing = missing_display(args); !missing.empty()) {
        write_diagnostic_line(std::string(program.name) + ": cannot open the review window: " + missing +
                              "; review the file where a display is, or read it with a spreadsheet "
                              "or sqlite3");
        return 1;
    }
    std::string why;
    if (!window)
        window = load_window_module(&why);
    if (!window) {
        write_diagnostic_line(std::string(program.name) + ": cannot load the window (" + why +
                              "); reinstall " + program.name);
        return 1;
    }
    const std::unique_ptr<QCoreApplication> application = window->make_application(argc, argv, program.name);
    if (const std::string error = check_remaining(QCoreApplication::arguments(), program); !error.empty()) {
        write_diagnostic_line(error);
        return usage_status;
    }
    const auto readings = open_for_review(path, program.name, &why);
    if (!readings) {
        write_diagnostic_line(why);
        return 1;
    }
    return window->review(*readings, path);
}

} // namespace korvel::app
