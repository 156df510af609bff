#include "app/reading_store_link.h"

#include "port/text.h"

namespace korvel::app {

bool open_reading_store(const Program& program, const Request& request,
                        std::unique_ptr<store::ReadingStore>* store)
{
    if (!request.store)
        return true;
    store::StoreOptions options;
    options.path = *request.store;
    options.keep_days = request.store_keep_days;
    options.program = program.name;
    options.say = [](const std::string& line) { write_diagnostic_line(line); };
    std::string error;
    *store = store::ReadingStore::open(options, &error);
    if (*store)
        return true;
    if (request.no_window) {
        write_diagnostic_line(error);
        return false;
    }
    write_diagnostic_line(error + " (the panel runs on without the store)");
    return true;
}

void attach_reading_store(PanelSession& session, store::ReadingStore& store)
{
    history::ReadingHistory& history = session.history();
    // The newest readings only, through the store's index on time: a month
    // of them would hold up the start. The history ends where the store
    // does, and the panel's first reading comes after a gap.
    for (const history::Sample& s : store.latest(history.capacity()))
        history.add(s);
    history.on_add([&store](const history::Sample& s) { store.add(s); });
    session.read_from(&store);
    session.store_state_line = [&store] { return store.state_line(); };
}

} // namespace korvel::app
