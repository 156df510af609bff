// The reading store of --store around the panel: opened before any socket
// or port, then the history filled from it and fed into it.
#pragma once

#include "app/options.h"
#include "session/panel_session.h"
#include "store/reading_store.h"

#include <memory>

namespace korvel::app {

// Opens the store the request names (nothing without --store) into *store.
// A store that cannot be used is said in one line; without a window the
// program then ends (false: before any socket or port is opened, so that a
// service manager sees it), with a window the panel runs on without it.
bool open_reading_store(const Program& program, const Request& request,
                        std::unique_ptr<store::ReadingStore>* store);

// Starts the session with the store: the history begins with the newest
// readings the store holds (as many as its ring keeps), every reading
// accepted from now on goes to the store, and the front ends read the
// store. Before any other front end attaches.
void attach_reading_store(PanelSession& session, store::ReadingStore& store);

} // namespace korvel::app
